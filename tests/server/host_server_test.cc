#include "server/host_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include "base/event_loop.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_service_advertiser.h"
#include "fakes/fake_user_defaults.h"
#include "identity/keychain_store.h"
#include "transport/channel_harness.h"
#include "transport/client_connector.h"
#include "transport/secure_channel.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

class HostServerTest : public ::testing::Test {
 protected:
  HostServerTest() { KeychainStore::setBackend(secrets); }
  ~HostServerTest() override { KeychainStore::setBackend(nullptr); }

  std::unique_ptr<HostServer> makeServer(std::uint16_t port = 0) {
    auto server = std::make_unique<HostServer>(HostServer::Environment{
        .mainThread = &main,
        .identity = &identity,
        .defaults = &defaults,
        .advertiser = &advertiser,
        .hostName = [] { return std::string("Test Host"); },
        .port = port});
    server->addObserver([this](HostServer::Property p) { changes.push_back(p); });
    return server;
  }

  bool settle(const std::function<bool()>& done) { return main.runUntil(done, 5s); }

  // A client with `key`; returns once it reported ready or closed.
  std::unique_ptr<MessageChannel> connectClient(std::uint16_t port, const Bytes& key, Recorder& recorder) {
    auto channel = connectRecorded(clientThread, port, SecureChannel::clientContext(key), recorder);
    EXPECT_TRUE(channel);
    // The server accepts on the main thread, which this thread runs.
    main.runUntil([&] { return !recorder.events().empty(); }, 5s);
    return channel;
  }

  EventLoop main;
  std::shared_ptr<FakeSecretBackend> secrets = std::make_shared<FakeSecretBackend>();
  HostIdentity identity{SecureChannel::generateKey, [] { return std::string("Test Host"); }};
  FakeUserDefaults defaults;
  FakeServiceAdvertiser advertiser;
  std::vector<HostServer::Property> changes;
  IoThread clientThread{"client"};
};

TEST_F(HostServerTest, FirstLaunchStoresAutoStartAndListensOnceReady) {
  auto server = makeServer();
  EXPECT_TRUE(defaults.boolValue(HostServer::kAutoStartKey));
  EXPECT_TRUE(server->autoStart());
  EXPECT_FALSE(server->isRunning()) << "running is only reported by the listener";
  ASSERT_TRUE(settle([&] { return server->isRunning(); }));
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
  auto server = makeServer();
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

TEST_F(HostServerTest, BusyPortReportsTheSystemTextAndALaterStartRecovers) {
  defaults.setBool(HostServer::kAutoStartKey, false);
  auto blocker = std::make_unique<asio::ip::tcp::acceptor>(
      clientThread.context(), asio::ip::tcp::endpoint(asio::ip::address_v6::any(), 0));
  const std::uint16_t port = blocker->local_endpoint().port();
  auto server = makeServer(port);
  server->start();
  EXPECT_EQ(server->lastError(), "Address already in use");
  EXPECT_FALSE(server->isRunning());
  EXPECT_TRUE(advertiser.history.empty());

  blocker.reset();
  server->start();
  ASSERT_TRUE(settle([&] { return server->isRunning(); }));
  EXPECT_EQ(server->lastError(), "Address already in use") << "nothing clears the last error";
}

TEST_F(HostServerTest, KeyResetAppliesFromTheNextStart) {
  auto server = makeServer();
  ASSERT_TRUE(settle([&] { return server->isRunning(); }));
  const Bytes oldKey = *identity.loadOrCreateKey();
  identity.resetKey();
  const Bytes newKey = *identity.loadOrCreateKey();
  ASSERT_NE(oldKey, newKey);

  Recorder withOld, withNew;
  auto a = connectClient(server->listeningPort(), oldKey, withOld);
  auto b = connectClient(server->listeningPort(), newKey, withNew);
  EXPECT_EQ(withOld.events().front(), "ready");
  EXPECT_NE(withNew.events().front(), "ready");

  server->stop();
  server->start();
  ASSERT_TRUE(settle([&] { return server->isRunning(); }));
  Recorder afterRestart;
  auto c = connectClient(server->listeningPort(), newKey, afterRestart);
  EXPECT_EQ(afterRestart.events().front(), "ready");
}

TEST_F(HostServerTest, OnlyAPairedNewcomerReplacesTheCurrentClient) {
  auto server = makeServer();
  ASSERT_TRUE(settle([&] { return server->isRunning(); }));
  const Bytes key = *identity.loadOrCreateKey();

  Recorder first;
  auto firstChannel = connectClient(server->listeningPort(), key, first);
  ASSERT_EQ(first.events().front(), "ready");

  // Strangers: a wrong key, and a plain socket that never speaks.
  Recorder stranger;
  auto strangerChannel = connectClient(server->listeningPort(), *SecureChannel::generateKey(), stranger);
  asio::ip::tcp::socket silent(clientThread.context());
  silent.connect({asio::ip::make_address("127.0.0.1"), server->listeningPort()});
  main.runFor(200ms);
  EXPECT_EQ(first.events(), std::vector<std::string>{"ready"}) << "strangers must not disturb";

  Recorder second;
  auto secondChannel = connectClient(server->listeningPort(), key, second);
  EXPECT_EQ(second.events().front(), "ready");
  main.runUntil([&] { return first.events().size() > 1; }, 5s);
  EXPECT_TRUE(first.waitForEvent("close:")) << "the paired newcomer replaces the first client";
  main.runFor(200ms);
  EXPECT_EQ(second.events(), std::vector<std::string>{"ready"});
}

TEST_F(HostServerTest, HandshakesBeyondTheLimitAreClosedAtOnce) {
  auto server = makeServer();
  ASSERT_TRUE(settle([&] { return server->isRunning(); }));
  std::vector<asio::ip::tcp::socket> silent;
  for (std::size_t i = 0; i < HostServer::kMaxHandshakes; ++i) {
    silent.emplace_back(clientThread.context());
    silent.back().connect({asio::ip::make_address("127.0.0.1"), server->listeningPort()});
  }
  asio::ip::tcp::socket extra(clientThread.context());
  extra.connect({asio::ip::make_address("127.0.0.1"), server->listeningPort()});
  main.runUntil([] { return false; }, 300ms);  // let the server see all nine
  // The ninth is closed at once; a waiting one would only end at the 10 s handshake limit.
  const timeval limit{3, 0};
  setsockopt(extra.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte = 0;
  EXPECT_EQ(::recv(extra.native_handle(), &byte, 1, 0), 0) << "expected the end of the stream";
}

TEST_F(HostServerTest, AdvertisingProblemsBecomeTheLastError) {
  auto server = makeServer();
  advertiser.reportProblem("Advertising is unavailable.");
  EXPECT_EQ(server->lastError(), "Advertising is unavailable.");
}

}  // namespace
}  // namespace quorin
