#pragma once
// A HostServer on a free port with fake backends and a recording input sink; the test's
// thread runs its main loop, and clients connect from a thread of their own.

#include <gtest/gtest.h>

#include "base/event_loop.h"
#include "fakes/fake_command_runner.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_service_advertiser.h"
#include "fakes/fake_user_defaults.h"
#include "identity/keychain_store.h"
#include "input/input_injector.h"
#include "input/recording_event_sink.h"
#include "server/host_server.h"
#include "server/system_controller.h"
#include "transport/channel_harness.h"
#include "video/fake_display_capturer.h"

namespace quorin {

using namespace std::chrono_literals;

inline InputEvent pointer(InputEvent::Kind kind, double x, double y) {
  InputEvent event;
  event.kind = kind;
  event.x = x;
  event.y = y;
  return event;
}

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() { KeychainStore::setBackend(secrets); }
  ~ServerTest() override {
    server.reset();
    KeychainStore::setBackend(nullptr);
  }

  // Constructed as the application does: it starts at once unless the preference says no.
  HostServer& makeServer(std::uint16_t port = 0) {
    server = std::make_unique<HostServer>(HostServer::Environment{
        .mainThread = &main,
        .identity = &identity,
        .defaults = &defaults,
        .advertiser = &advertiser,
        .capturer = &capturer,
        .injector = injector.get(),
        .systemController = &systemController,
        .hostName = [] { return std::string("Test Host"); },
        .port = port});
    server->addObserver([this](HostServer::Property p) { changes.push_back(p); });
    return *server;
  }
  HostServer& runningServer() {
    makeServer();
    EXPECT_TRUE(pump([&] { return server->isRunning(); }));
    return *server;
  }

  bool pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    return main.runUntil(done, limit);
  }

  // A started client (with the host's key unless told otherwise), once it is ready or closed.
  std::unique_ptr<MessageChannel> connect(Recorder& recorder, std::optional<Bytes> withKey = {}) {
    auto channel = connectRecorded(clientThread, server->listeningPort(),
                                   SecureChannel::clientContext(withKey.value_or(key())), recorder);
    EXPECT_TRUE(channel);
    pump([&] { return !recorder.events().empty(); });
    return channel;
  }
  Bytes key() { return *identity.loadOrCreateKey(); }

  bool received(Recorder& recorder, MessageType type) {
    return pump([&] {
      const auto messages = recorder.messages();
      return std::any_of(messages.begin(), messages.end(), [&](const auto& m) { return m.first == type; });
    });
  }

  EventLoop main;
  std::shared_ptr<FakeSecretBackend> secrets = std::make_shared<FakeSecretBackend>();
  HostIdentity identity{SecureChannel::generateKey, [] { return std::string("Test Host"); }};
  FakeUserDefaults defaults;
  FakeServiceAdvertiser advertiser;
  FakeDisplayCapturer capturer;
  RecordingEventSink* sink = new RecordingEventSink;  // owned by the injector
  std::unique_ptr<InputInjector> injector = std::make_unique<InputInjector>(std::unique_ptr<EventSink>(sink));
  FakeCommandRunner runner;
  SystemController systemController{runner};
  std::vector<HostServer::Property> changes;
  IoThread clientThread{"client"};
  std::unique_ptr<HostServer> server;
};

}  // namespace quorin
