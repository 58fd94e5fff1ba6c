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
#include "transport/client_connector.h"
#include "video/fake_display_capturer.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

InputEvent pointer(InputEvent::Kind kind, double x, double y) {
  InputEvent event;
  event.kind = kind;
  event.x = x;
  event.y = y;
  return event;
}

std::size_t countOf(const std::vector<std::pair<MessageType, Bytes>>& messages, MessageType type) {
  return std::count_if(messages.begin(), messages.end(), [&](const auto& m) { return m.first == type; });
}

class ClientSessionTest : public ::testing::Test {
 protected:
  ClientSessionTest() {
    KeychainStore::setBackend(secrets);
    auto recording = std::make_unique<RecordingEventSink>();
    sink = recording.get();
    injector = std::make_unique<InputInjector>(std::move(recording));
    server = std::make_unique<HostServer>(HostServer::Environment{
        .mainThread = &main,
        .identity = &identity,
        .defaults = &defaults,
        .advertiser = &advertiser,
        .capturer = &capturer,
        .injector = injector.get(),
        .systemController = &systemController,
        .hostName = [] { return std::string("Test Host"); },
        .port = 0});
    EXPECT_TRUE(pump([&] { return server->isRunning(); }));
    key = *identity.loadOrCreateKey();
  }
  ~ClientSessionTest() override {
    server.reset();
    KeychainStore::setBackend(nullptr);
  }

  bool pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    return main.runUntil(done, limit);
  }

  std::unique_ptr<MessageChannel> connect(Recorder& recorder, std::optional<Bytes> withKey = {}) {
    auto channel = connectRecorded(clientThread, server->listeningPort(),
                                   SecureChannel::clientContext(withKey.value_or(key)), recorder);
    pump([&] { return !recorder.events().empty(); });
    return channel;
  }

  bool received(Recorder& recorder, MessageType type, std::size_t count = 1) {
    return pump([&] { return countOf(recorder.messages(), type) >= count; });
  }

  EventLoop main;
  std::shared_ptr<FakeSecretBackend> secrets = std::make_shared<FakeSecretBackend>();
  HostIdentity identity{SecureChannel::generateKey, [] { return std::string("Test Host"); }};
  FakeUserDefaults defaults;
  FakeServiceAdvertiser advertiser;
  FakeDisplayCapturer capturer;
  RecordingEventSink* sink = nullptr;
  std::unique_ptr<InputInjector> injector;
  FakeCommandRunner runner;
  SystemController systemController{runner};
  std::unique_ptr<HostServer> server;
  Bytes key;
  IoThread clientThread{"client"};
};

TEST_F(ClientSessionTest, PairedClientGetsVideoAndGreetingAndItsInputIsCarriedOut) {
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(received(client, MessageType::hello));
  ASSERT_TRUE(received(client, MessageType::videoFrame));
  ASSERT_TRUE(server->connectedClient());
  EXPECT_EQ(server->connectedClient()->rfind("127.0.0.1:", 0), 0u);

  const auto messages = client.messages();
  const auto hello = std::find_if(messages.begin(), messages.end(),
                                  [](const auto& m) { return m.first == MessageType::hello; });
  const auto greeting = json::decodeJson<HelloMessage>(ByteView(hello->second));
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->hostName, "Test Host");
  EXPECT_EQ(greeting->screenWidth, 64);
  EXPECT_EQ(greeting->screenHeight, 48);
  EXPECT_EQ(greeting->codec, "h264");
  // The configuration comes before the first frame.
  const auto firstConfig = std::find_if(messages.begin(), messages.end(),
                                        [](const auto& m) { return m.first == MessageType::videoConfig; });
  const auto firstFrame = std::find_if(messages.begin(), messages.end(),
                                       [](const auto& m) { return m.first == MessageType::videoFrame; });
  EXPECT_LT(firstConfig - messages.begin(), firstFrame - messages.begin());

  // Junk first: none of it may be carried out or end the session.
  channel->send(MessageType::ping, bytesOf("anything"));
  channel->send(MessageType::hello, bytesOf("{}"));
  channel->send(MessageType::input, bytesOf("{not json"));
  channel->send(MessageType::input, bytesOf(R"({"kind":"MouseMove","x":0.5})"));
  channel->send(MessageType::system, bytesOf(R"({"action":"reboot"})"));
  std::string huge = R"({"kind":"keyText","text":")";
  huge.append(2 << 20, 'x').append(R"("})");
  channel->send(MessageType::input, bytesOf(huge));
  channel->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseMove, 0.5, 0.25));
  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  ASSERT_TRUE(pump([&] { return !runner.calls().empty(); }));
  EXPECT_EQ(sink->posted, std::vector<std::string>{"move 720,225"});
  EXPECT_EQ(runner.calls()[0].first, (std::vector<std::string>{"loginctl", "lock-session"}));
  const auto events = client.events();
  EXPECT_EQ(events.front(), "ready");
  EXPECT_EQ(std::count(events.begin(), events.end(), "close:"), 0);
}

TEST_F(ClientSessionTest, WithoutADisplayTheClientStaysConnectedAndInputStillWorks) {
  capturer.content.displays.clear();
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(pump([&] { return server->lastError().has_value(); }));
  EXPECT_EQ(server->lastError(), "No display found.");
  EXPECT_FALSE(server->connectedClient());

  channel->sendJSON(MessageType::input, pointer(InputEvent::Kind::leftClick, 0, 0));
  ASSERT_TRUE(pump([&] { return sink->posted.size() >= 3; }));
  EXPECT_EQ(sink->posted[1], "down left");
  main.runUntil([] { return false; }, 100ms);
  EXPECT_TRUE(client.messages().empty()) << "no greeting and no video";

  capturer.content.error = CaptureError{"QuorinRemote", 7, "Cannot open display :99"};
  Recorder second;
  auto replacement = connect(second);
  ASSERT_TRUE(pump([&] { return server->lastError() == "Cannot open display :99"; }));
}

TEST_F(ClientSessionTest, ANewPairedClientReplacesTheStreamingOne) {
  Recorder first;
  auto a = connect(first);
  ASSERT_TRUE(received(first, MessageType::hello));
  const auto firstClient = server->connectedClient();

  Recorder second;
  auto b = connect(second);
  ASSERT_TRUE(received(second, MessageType::hello));
  ASSERT_TRUE(pump([&] { return first.events().back() == "close:"; }));
  EXPECT_NE(server->connectedClient(), firstClient);

  // The first client's late input is not carried out for the newcomer.
  a->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseMove, 1, 1));
  b->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseMove, 0, 0));
  ASSERT_TRUE(pump([&] { return !sink->posted.empty(); }));
  main.runUntil([] { return false; }, 100ms);
  EXPECT_EQ(sink->posted, std::vector<std::string>{"move 0,0"});

  b->cancel();
  ASSERT_TRUE(pump([&] { return !server->connectedClient(); }));
}

}  // namespace
}  // namespace quorin
