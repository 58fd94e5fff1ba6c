// A real HostServer serving a headless mutter of the test's own through the real GNOME
// environment, in this process, so that the test can press GNOME's Stop on the sessions the
// environment made (only their creator's connection may).

#include <gtest/gtest.h>

#include "base/event_loop.h"
#include "desktop/gnome/gnome_desktop_environment.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_service_advertiser.h"
#include "fakes/fake_user_defaults.h"
#include "fakes/require_service.h"
#include "gnome/own_mutter.h"
#include "identity/keychain_store.h"
#include "server/host_server.h"
#include "transport/channel_harness.h"
#include "transport/secure_channel.h"
#include "video/capture_error.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

TEST(GnomeHostServer, StopAtTheComputerEndsTheSessionWithASentenceAndTheNextClientIsServed) {
  OwnMutter mutter;
  QUORIN_REQUIRE(mutter.running(), mutter.error() << " (scripts/test runs PipeWire for it)");
  KeychainStore::setBackend(std::make_shared<FakeSecretBackend>());
  EventLoop main;
  HostIdentity identity{SecureChannel::generateKey, [] { return std::string("Test Host"); }};
  FakeUserDefaults defaults;
  FakeServiceAdvertiser advertiser;
  // No portal to fall back on: mutter does not refuse here.
  const auto desktop = std::make_shared<GnomeDesktopEnvironment>(nullptr);
  auto server = std::make_unique<HostServer>(HostServer::Environment{
      .mainThread = &main, .identity = &identity, .defaults = &defaults, .advertiser = &advertiser,
      .desktop = [desktop] { return desktop; }, .hostName = [] { return std::string("Test Host"); }, .port = 0});
  ASSERT_TRUE(main.runUntil([&] { return server->isRunning(); }, 5s));
  IoThread clientThread{"client"};
  const auto watch = [&](Recorder& recorder) {
    auto channel = connectRecorded(clientThread, server->listeningPort(),
                                   SecureChannel::clientContext(*identity.loadOrCreateKey()), recorder);
    // The main loop runs here, so the test pumps it while the client waits for a picture.
    EXPECT_TRUE(main.runUntil([&] {
      return std::ranges::count(recorder.messages(), MessageType::videoFrame, &Recorder::Message::first) > 0;
    }, 20s));
    return channel;
  };

  Recorder first;
  auto firstChannel = watch(first);
  desktop->stopSessionsForTesting();
  EXPECT_TRUE(main.runUntil([&] { return server->lastError() == sharingEndedError().description; }, 10s))
      << server->lastError().value_or("no error");
  EXPECT_TRUE(main.runUntil([&] { return !first.closeEvent().empty(); }, 5s)) << "the client is let go";
  EXPECT_FALSE(server->connectedClient());

  Recorder second;
  auto secondChannel = watch(second);
  EXPECT_TRUE(server->connectedClient());
  EXPECT_EQ(second.closeEvent(), "");

  server.reset();
  KeychainStore::setBackend(nullptr);
}

}  // namespace
}  // namespace quorin
