#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "server/server_harness.h"

namespace quorin {
namespace {

using ClientSessionTest = ServerTest;

TEST_F(ClientSessionTest, PairedClientGetsVideoAndGreetingAndItsInputIsCarriedOut) {
  runningServer();
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(received(client, MessageType::hello));
  ASSERT_TRUE(received(client, MessageType::videoFrame));
  ASSERT_TRUE(server->connectedClient());
  EXPECT_EQ(server->connectedClient()->rfind("127.0.0.1:", 0), 0u);

  const auto messages = client.messages();
  auto first = [&](MessageType type) {
    return std::find_if(messages.begin(), messages.end(), [&](const auto& m) { return m.first == type; });
  };
  const auto greeting = json::decodeJson<HelloMessage>(ByteView(first(MessageType::hello)->second));
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->hostName, "Test Host");
  EXPECT_EQ(greeting->screenWidth, 64);
  EXPECT_EQ(greeting->screenHeight, 48);
  EXPECT_LT(first(MessageType::videoConfig), first(MessageType::videoFrame));

  // Junk first: none of it may be carried out or end the session.
  channel->send(MessageType::ping, bytesOf("anything"));
  channel->send(MessageType::hello, bytesOf("{}"));
  channel->send(MessageType::input, bytesOf("{not json"));
  channel->send(MessageType::input, bytesOf(R"({"kind":"MouseMove","x":0.5})"));
  channel->send(MessageType::system, bytesOf(R"({"action":"reboot"})"));
  channel->sendJSON(MessageType::input, pointer(InputEvent::Kind::mouseMove, 0.5, 0.25));
  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  ASSERT_TRUE(pump([&] { return !runner.calls().empty(); }));
  EXPECT_EQ(sink->posted, std::vector<std::string>{"move 720,225"});
  EXPECT_EQ(runner.calls()[0].first, (std::vector<std::string>{"loginctl", "lock-session"}));
  EXPECT_EQ(client.closeEvent(), "") << "the session goes on";

  // The host needs nothing near a megabyte; a larger frame ends the session.
  channel->send(MessageType::input, Bytes(ClientSession::kMaxInboundPayload + 1, ' '));
  EXPECT_TRUE(pump([&] { return !client.closeEvent().empty(); }));
}

TEST_F(ClientSessionTest, WithoutADisplayTheClientStaysConnectedAndInputStillWorks) {
  capturer.content.displays.clear();
  runningServer();
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(pump([&] { return server->lastError().has_value(); }));
  EXPECT_EQ(server->lastError(), "No display found.");
  EXPECT_FALSE(server->connectedClient());

  channel->sendJSON(MessageType::input, pointer(InputEvent::Kind::leftClick, 0, 0));
  ASSERT_TRUE(pump([&] { return sink->posted.size() >= 3; }));
  EXPECT_EQ(sink->posted[1], "down left");
  main.runFor(100ms);
  EXPECT_TRUE(client.messages().empty()) << "no greeting and no video";

  capturer.content.error = CaptureError{"QuorinRemote", 7, "Cannot open display :99"};
  Recorder second;
  auto replacement = connect(second);
  ASSERT_TRUE(pump([&] { return server->lastError() == "Cannot open display :99"; }));
}

// Types as slowly as a real display may: a few microseconds per character.
struct SlowSink final : EventSink {
  std::optional<ScreenRect> screenFrame() override { return ScreenRect{0, 0, 1000, 1000}; }
  void movePointer(int, int) override {}
  void setButton(MouseButton, bool) override {}
  void pressKey(SpecialKey, const Modifiers&) override { marked = std::chrono::steady_clock::now(); }
  void typeText(std::u32string_view text, const Modifiers&) override {
    std::this_thread::sleep_for(text.size() * 10us);
  }
  void finish() override {}
  std::optional<std::chrono::steady_clock::time_point> marked;
};

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  long kib = 0;
  while (status >> word && word != "VmRSS:") {}
  status >> kib;
  return kib;
}

TEST_F(ClientSessionTest, AFloodOfInputStaysBoundedAndLaterInputStillLandsPromptly) {
  auto slow = std::make_unique<SlowSink>();
  SlowSink& sink = *slow;
  injector = std::make_unique<InputInjector>(std::move(slow));
  runningServer();
  Recorder client;
  auto channel = connect(client);
  ASSERT_EQ(client.events().front(), "ready");

  const long before = residentKiB();
  std::atomic<std::chrono::steady_clock::time_point> sent{};
  std::thread flood([&] {
    auto paced = [&](const InputEvent& event) {
      while (channel->queuedBytes() > (256 << 10)) std::this_thread::sleep_for(1ms);
      channel->sendJSON(MessageType::input, event);
    };
    InputEvent text, marker;
    text.kind = InputEvent::Kind::keyText;
    text.text = std::string(256 << 10, 'x');
    marker.kind = InputEvent::Kind::keySpecial;
    marker.specialKey = "escape";
    for (int i = 0; i < 50'000; ++i) {
      paced(pointer(InputEvent::Kind::mouseMove, (i % 100) / 100.0, 0.5));
      if (i % 1000 == 0) paced(text);
    }
    paced(marker);
    sent = std::chrono::steady_clock::now();
  });
  const bool landed = pump([&] { return sink.marked.has_value(); }, 60s);
  flood.join();
  ASSERT_TRUE(landed);
  EXPECT_LT(*sink.marked - sent.load(), 1s);
  EXPECT_LT(residentKiB() - before, 20 * 1024);
  EXPECT_EQ(client.closeEvent(), "");
}

}  // namespace
}  // namespace quorin
