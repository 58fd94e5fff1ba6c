#include "server/host_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include "server/server_harness.h"

namespace quorin {
namespace {

using HostServerTest = ServerTest;

TEST_F(HostServerTest, FirstLaunchStoresAutoStartAndListensOnceReady) {
  makeServer();
  EXPECT_TRUE(defaults.boolValue(HostServer::kAutoStartKey));
  EXPECT_FALSE(server->isRunning()) << "running is only reported by the listener";
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  ASSERT_TRUE(advertiser.published);
  EXPECT_EQ(*advertiser.published,
            (ServiceDescription{"Test Host", "_quorinremote._tcp", server->listeningPort()}));

  server->start();  // already listening: nothing happens
  EXPECT_EQ(advertiser.history.size(), 1u);

  server->stop();
  EXPECT_FALSE(server->isRunning());
  EXPECT_FALSE(advertiser.published);
  main.runFor(50ms);
  EXPECT_FALSE(server->isRunning()) << "the cancelled report must not revive it";
}

TEST_F(HostServerTest, StoredFalseIsRespectedAndNotRewritten) {
  defaults.setBool(HostServer::kAutoStartKey, false);
  defaults.writes = 0;
  makeServer();
  EXPECT_FALSE(server->autoStart());
  EXPECT_EQ(defaults.writes, 0);
  main.runFor(50ms);
  EXPECT_FALSE(server->isRunning());
  EXPECT_TRUE(advertiser.history.empty());

  server->setAutoStart(false);  // every assignment is stored, none starts anything
  server->setAutoStart(true);
  EXPECT_EQ(defaults.writes, 2);
  EXPECT_TRUE(defaults.boolValue(HostServer::kAutoStartKey));
  EXPECT_FALSE(server->isRunning());

  changes.clear();
  server->stop();  // nothing to stop, yet both are announced again
  EXPECT_EQ(changes, (std::vector{HostServer::Property::connectedClient, HostServer::Property::isRunning}));
}

TEST_F(HostServerTest, FailuresBecomeTheLastErrorAndALaterStartRecovers) {
  defaults.setBool(HostServer::kAutoStartKey, false);
  auto blocker = std::make_unique<asio::ip::tcp::acceptor>(
      clientThread.context(), asio::ip::tcp::endpoint(asio::ip::address_v6::any(), 0));
  makeServer(blocker->local_endpoint().port());
  server->start();
  EXPECT_EQ(server->lastError(), "Address already in use");
  EXPECT_FALSE(server->isRunning());
  EXPECT_TRUE(advertiser.history.empty());

  blocker.reset();
  server->start();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  EXPECT_EQ(server->lastError(), "Address already in use") << "nothing clears the last error";
  advertiser.reportProblem("Advertising is unavailable.");
  EXPECT_EQ(server->lastError(), "Advertising is unavailable.");
}

TEST_F(HostServerTest, KeyResetAppliesFromTheNextStart) {
  runningServer();
  const Bytes oldKey = key();
  identity.resetKey();
  ASSERT_NE(oldKey, key());

  Recorder withOld, withNew;
  auto a = connect(withOld, oldKey);
  auto b = connect(withNew);
  EXPECT_EQ(withOld.events().front(), "ready");
  EXPECT_NE(withNew.events().front(), "ready");

  server->stop();
  server->start();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder afterRestart;
  auto c = connect(afterRestart);
  EXPECT_EQ(afterRestart.events().front(), "ready");
}

// Strangers (a wrong key, sockets that never speak, all from the client's own address) must
// neither disturb the current client nor keep a paired newcomer out.
TEST_F(HostServerTest, OnlyAPairedNewcomerReplacesTheCurrentClientAndSilenceCannotLockItOut) {
  runningServer();
  Recorder first;
  auto firstChannel = connect(first);
  ASSERT_EQ(first.events().front(), "ready");

  Recorder stranger;
  auto strangerChannel = connect(stranger, *SecureChannel::generateKey());
  std::vector<asio::ip::tcp::socket> silent;
  for (int i = 0; i < 12; ++i) {
    silent.emplace_back(clientThread.context());
    silent.back().connect({asio::ip::make_address("127.0.0.1"), server->listeningPort()});
  }
  main.runFor(200ms);
  EXPECT_EQ(first.closeEvent(), "") << "strangers must not disturb";

  const auto started = std::chrono::steady_clock::now();
  Recorder second;
  auto secondChannel = connect(second);
  EXPECT_EQ(second.events().front(), "ready");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  ASSERT_TRUE(pump([&] { return !first.closeEvent().empty(); }));
  EXPECT_EQ(first.closeEvent(), "close:") << "replaced with a goodbye, not a broken link";

  // The first client's late input is not carried out for the newcomer.
  firstChannel->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseMove, 1, 1));
  secondChannel->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseMove, 0, 0));
  ASSERT_TRUE(pump([&] { return !sink->posted.empty(); }));
  main.runFor(100ms);
  EXPECT_EQ(sink->posted, std::vector<std::string>{"move 0,0"});

  // The silent ones do not keep their place for long either.
  const timeval limit{4, 0};
  setsockopt(silent.back().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte = 0;
  EXPECT_EQ(::recv(silent.back().native_handle(), &byte, 1, 0), 0) << "expected the end of the stream";
  ASSERT_TRUE(received(second, MessageType::hello));
  ASSERT_TRUE(server->connectedClient());
  secondChannel->cancel();
  EXPECT_TRUE(pump([&] { return !server->connectedClient(); }));
}

TEST_F(HostServerTest, AScreenThatStopsSharingEndsTheSessionWithItsReasonAndLetsGoOfHeldButtons) {
  runningServer();
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(received(client, MessageType::hello));
  channel->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseDown, 0.5, 0.5));
  ASSERT_TRUE(pump([&] { return !sink->posted.empty() && sink->posted.back() == "down left"; }));

  const std::string reason = "Screen sharing was stopped on this computer.";
  capturer.change(CaptureError{"Portal", 6, reason});
  ASSERT_TRUE(pump([&] { return server->lastError() == reason; }));
  EXPECT_FALSE(server->connectedClient());
  EXPECT_EQ(sink->posted.back(), "up left") << "a button held by the client stays down";
  EXPECT_TRUE(pump([&] { return !client.closeEvent().empty(); }));
  EXPECT_TRUE(server->isRunning()) << "the next client may try again";
}

}  // namespace
}  // namespace quorin
