#include "server/avahi_advertiser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/command_output.h"
#include "base/event_loop.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_user_defaults.h"
#include "identity/keychain_store.h"
#include "server/host_server.h"
#include "transport/secure_channel.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

bool daemonRunning() { return std::system("avahi-daemon --check 2>/dev/null") == 0; }

// "name;port" of every resolved _quorinremote._tcp service, as avahi-browse prints them
// (names are escaped there: a space is \032).
std::vector<std::string> browse() {
  std::vector<std::string> found;
  const std::string out = commandOutput("avahi-browse -rpt _quorinremote._tcp 2>/dev/null");
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] != '=') continue;
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t semi; (semi = line.find(';', from)) != std::string::npos; from = semi + 1) {
      fields.push_back(line.substr(from, semi - from));
    }
    fields.push_back(line.substr(from));
    if (fields.size() > 8) found.push_back(fields[3] + ";" + fields[8]);
  }
  return found;
}

bool listed(const std::string& entry) {
  const auto all = browse();
  return std::find(all.begin(), all.end(), entry) != all.end();
}

bool eventually(EventLoop& loop, const std::function<bool()>& done, std::chrono::seconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    loop.runFor(100ms);
  }
  return done();
}

class AvahiAdvertiserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (daemonRunning()) return;
    if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {
      FAIL() << "avahi-daemon is not running (scripts/test starts it)";
    }
    GTEST_SKIP() << "avahi-daemon is not running; run through scripts/test";
  }
  std::string uniqueName(const char* base) { return std::string(base) + " " + std::to_string(getpid()); }
  // avahi-browse -p prints letters, digits, '-' and '_' as they are and every other byte
  // as a backslash and three decimal digits.
  static std::string escaped(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
      if (std::isalnum(c) || c == '-' || c == '_') {
        out += static_cast<char>(c);
      } else {
        char code[8];
        std::snprintf(code, sizeof code, "\\%03d", c);
        out += code;
      }
    }
    return out;
  }

  EventLoop main;
};

TEST_F(AvahiAdvertiserTest, PublishesWithdrawsAndRenamesOnCollision) {
  const std::string name = uniqueName("Quorin Test");
  AvahiAdvertiser first(main);
  std::vector<std::string> problems;
  first.setProblemHandler([&](const std::string& p) { problems.push_back(p); });
  first.publish({name, "_quorinremote._tcp", 52999});
  ASSERT_TRUE(eventually(main, [&] { return listed(escaped(name) + ";52999"); }));

  AvahiAdvertiser second(main);
  second.publish({name, "_quorinremote._tcp", 53000});
  EXPECT_TRUE(eventually(main, [&] { return listed(escaped(name + " #2") + ";53000"); }));
  EXPECT_TRUE(listed(escaped(name) + ";52999")) << "the first keeps its name";

  first.withdraw();
  EXPECT_TRUE(eventually(main, [&] { return !listed(escaped(name) + ";52999"); }));
  EXPECT_TRUE(problems.empty());
}

// Stops the shared daemon for a while, so it runs only where this process may restart it.
TEST_F(AvahiAdvertiserTest, HostKeepsListeningWithoutTheDaemonAndAdvertisesWhenItReturns) {
  const char* config = std::getenv("QUORIN_AVAHI_CONFIG");
  if (geteuid() != 0 || !config) GTEST_SKIP() << "needs root and QUORIN_AVAHI_CONFIG (scripts/test)";

  auto secrets = std::make_shared<FakeSecretBackend>();
  KeychainStore::setBackend(secrets);
  HostIdentity identity(SecureChannel::generateKey, [] { return std::string("x"); });
  FakeUserDefaults defaults;
  AvahiAdvertiser advertiser(main);
  const std::string name = uniqueName("Quorin Outage");
  HostServer server({.mainThread = &main, .identity = &identity, .defaults = &defaults,
                     .advertiser = &advertiser, .hostName = [&] { return name; }, .port = 0});
  ASSERT_TRUE(eventually(main, [&] { return server.isRunning(); }));
  const std::string entry = escaped(name) + ";" + std::to_string(server.listeningPort());
  ASSERT_TRUE(eventually(main, [&] { return listed(entry); }));

  ASSERT_EQ(std::system("avahi-daemon --kill"), 0);
  EXPECT_TRUE(eventually(main, [&] {
    return server.lastError() && server.lastError()->find("unavailable") != std::string::npos;
  }));
  EXPECT_TRUE(server.isRunning()) << "clients can still connect by address";

  const std::string restart = std::string("avahi-daemon -D --no-rlimits --no-chroot -f ") + config;
  ASSERT_EQ(std::system(restart.c_str()), 0);
  EXPECT_TRUE(eventually(main, [&] { return listed(entry); }, 20s));
  KeychainStore::setBackend(nullptr);
}

}  // namespace
}  // namespace quorin
