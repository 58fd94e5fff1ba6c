#include "server/avahi_advertiser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "app/command_output.h"
#include "base/event_loop.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_user_defaults.h"
#include "fakes/require_service.h"
#include "identity/keychain_store.h"
#include "server/host_server.h"
#include "transport/secure_channel.h"

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

class AvahiAdvertiserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE(std::system("avahi-daemon --check 2>/dev/null") == 0,
                   "avahi-daemon is not running (scripts/test starts it)");
  }
  bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = 10s) {
    return main.runUntil(done, limit);
  }

  EventLoop main;
  // Letters and digits only, so that avahi-browse prints it as it is.
  const std::string name = "QuorinTest" + std::to_string(getpid());
};

TEST_F(AvahiAdvertiserTest, PublishesWithdrawsAndRenamesOnCollision) {
  AvahiAdvertiser first(main);
  std::vector<std::string> problems;
  first.setProblemHandler([&](const std::string& p) { problems.push_back(p); });
  first.publish({name, "_quorinremote._tcp", 52999});
  ASSERT_TRUE(eventually([&] { return listed(name + ";52999"); }));

  AvahiAdvertiser second(main);
  second.publish({name, "_quorinremote._tcp", 53000});
  EXPECT_TRUE(eventually([&] { return listed(name + "\\032\\0352" + ";53000"); }));
  EXPECT_TRUE(listed(name + ";52999")) << "the first keeps its name";

  first.withdraw();
  EXPECT_TRUE(eventually([&] { return !listed(name + ";52999"); }));
  EXPECT_TRUE(problems.empty());
}

// Stops the shared daemon for a while, so it runs only where this process may restart it.
TEST_F(AvahiAdvertiserTest, HostKeepsListeningWithoutTheDaemonAndAdvertisesWhenItReturns) {
  const char* config = std::getenv("QUORIN_AVAHI_CONFIG");
  if (geteuid() != 0 || !config) GTEST_SKIP() << "needs root and QUORIN_AVAHI_CONFIG (scripts/test)";

  KeychainStore::setBackend(std::make_shared<FakeSecretBackend>());
  HostIdentity identity(SecureChannel::generateKey, [] { return std::string("x"); });
  FakeUserDefaults defaults;
  AvahiAdvertiser advertiser(main);
  HostServer server({.mainThread = &main, .identity = &identity, .defaults = &defaults,
                     .advertiser = &advertiser, .hostName = [&] { return name; }, .port = 0});
  ASSERT_TRUE(eventually([&] { return server.isRunning(); }));
  const std::string entry = name + ";" + std::to_string(server.listeningPort());
  ASSERT_TRUE(eventually([&] { return listed(entry); }));

  ASSERT_EQ(std::system("avahi-daemon --kill"), 0);
  EXPECT_TRUE(eventually([&] { return server.lastError().value_or("").find("unavailable") != std::string::npos; }));
  EXPECT_TRUE(server.isRunning()) << "clients can still connect by address";
  ASSERT_EQ(std::system(("avahi-daemon -D --no-rlimits --no-chroot -f " + std::string(config)).c_str()), 0);
  EXPECT_TRUE(eventually([&] { return listed(entry); }, 20s));
  KeychainStore::setBackend(nullptr);
}

}  // namespace
}  // namespace quorin
