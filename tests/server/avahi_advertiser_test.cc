#include "server/avahi_advertiser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "app/command_output.h"
#include "base/event_loop.h"
#include "fakes/require_service.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// Whether avahi-browse lists the resolved service "name;port" (names escaped as it prints
// them: a space is \032).
bool listed(const std::string& entry) {
  const std::string out = commandOutput(
      "avahi-browse -rpt _quorinremote._tcp 2>/dev/null | awk -F';' '/^=/ {print $4 \";\" $9}'");
  return ("\n" + out).find("\n" + entry + "\n") != std::string::npos;
}

// The outage stops the shared daemon for a while, so it runs only where this process may
// restart it.
TEST(AvahiAdvertiser, RenamesOnCollisionWithdrawsAndAdvertisesAgainAfterAnOutage) {
  QUORIN_REQUIRE(std::system("avahi-daemon --check 2>/dev/null") == 0,
                 "avahi-daemon is not running (scripts/test starts it)");
  EventLoop main;
  auto eventually = [&](const std::function<bool()>& done, std::chrono::seconds limit = 10s) {
    return main.runUntil(done, limit);
  };
  // Letters and digits only, so that avahi-browse prints it as it is.
  const std::string name = "QuorinTest" + std::to_string(getpid());
  AvahiAdvertiser first(main);
  std::string problem;
  first.setProblemHandler([&](const std::string& p) { problem = p; });
  first.publish({name, "_quorinremote._tcp", 52999});
  ASSERT_TRUE(eventually([&] { return listed(name + ";52999"); }));

  AvahiAdvertiser second(main);
  second.publish({name, "_quorinremote._tcp", 53000});
  EXPECT_TRUE(eventually([&] { return listed(name + "\\032\\0352;53000"); }));
  EXPECT_TRUE(listed(name + ";52999")) << "the first keeps its name";
  second.withdraw();
  EXPECT_TRUE(eventually([&] { return !listed(name + "\\032\\0352;53000"); }));
  EXPECT_EQ(problem, "");

  const char* config = std::getenv("QUORIN_AVAHI_CONFIG");
  if (geteuid() != 0 || !config) GTEST_SKIP() << "the outage needs root and QUORIN_AVAHI_CONFIG (scripts/test)";
  ASSERT_EQ(std::system("avahi-daemon --kill"), 0);
  EXPECT_TRUE(eventually([&] { return problem.starts_with("Advertising on the local network is unavailable"); }));
  ASSERT_TRUE(eventually([] { return std::system("avahi-daemon --check 2>/dev/null") != 0; }));
  ASSERT_EQ(std::system(("avahi-daemon -D --no-rlimits --no-chroot -f " + std::string(config)).c_str()), 0);
  EXPECT_TRUE(eventually([&] { return listed(name + ";52999"); }, 20s));
}

}  // namespace
}  // namespace quorin
