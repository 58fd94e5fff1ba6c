#pragma once
// A host for the client's tests: a loopback TLS-PSK listener on a free port. It serves its
// first connection (one client per host) as the real host does: greeting, then the host
// encoder's 320 x 240 stream at about 60 frames per second; or in a broken way. What the
// client sends is in client().

#include <atomic>
#include <optional>
#include <thread>

#include "protocol/control_messages.h"
#include "tools/test_video.h"
#include "transport/channel_harness.h"

namespace quorin {

class FakeHost {
 public:
  enum class Screen { video, undecodable, none };
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 240;

  FakeHost(Bytes key, Screen screen)
      : harness_(SecureChannel::parameters(key).tls), feeder_([this, screen] { serve(screen); }) {}
  // Stops the stream; the harness then ends the connection as a host that goes away does.
  ~FakeHost() {
    running_ = false;
    feeder_.join();
  }

  std::uint16_t port() const { return harness_.port(); }
  Recorder& client() { return harness_.serverSide; }

 private:
  void serve(Screen screen) {
    while (running_ && !client().waitForEvent("ready", std::chrono::milliseconds(20))) {
    }
    if (!running_ || screen == Screen::none) return;
    auto channel = harness_.serverChannel();
    channel->sendJSON(MessageType::hello, HelloMessage{"fake host", kWidth, kHeight});
    std::optional<VideoEncoder> encoder;
    if (screen == Screen::video) {
      encoder.emplace(kWidth, kHeight);
      forwardAsMessages(*encoder, [&](WireMessage message) { channel->send(message.type, message.payload); });
      encoder->start(8'000'000, 60);
    } else {
      channel->sendJSON(MessageType::videoConfig, VideoConfig{{Bytes{0x67, 0x42}, Bytes{0x68, 0x01}}, 4});
    }
    for (int i = 0; running_; ++i) {
      if (encoder) {
        const auto picture = testPicture(kWidth, kHeight, i);
        encoder->encode({picture.data(), kWidth, kHeight, kWidth * 4}, std::chrono::milliseconds(16 * i));
      } else {
        channel->send(MessageType::videoFrame, videoFramePayload({true, 0}, Bytes{0, 0, 0, 3, 0x65, 0x88, 0x84}));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
  }

  ChannelHarness harness_;
  std::atomic<bool> running_{true};
  std::thread feeder_;
};

}  // namespace quorin
