#include "server/host_info.h"

#include <gtest/gtest.h>

namespace quorin {
namespace {

TEST(HostInfo, DropsEveryLocalCaseSensitivelyInOnePass) {
  const std::pair<const char*, const char*> cases[] = {
      {"studio.local", "studio"},       {"studio.local.lan", "studio.lan"},
      {"a.localb.local", "ab"},         {"studio.LOCAL", "studio.LOCAL"},
      {".lo.localcal", ".local"},       {" studio ", " studio "},
      {".local.local", "Quorin Mac"},   {"", "Quorin Mac"}};
  for (const auto& [host, name] : cases) EXPECT_EQ(HostInfo::displayName(host), name) << host;
}

}  // namespace
}  // namespace quorin
