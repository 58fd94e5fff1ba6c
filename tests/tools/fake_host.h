#pragma once
// A host for the client's tests: a loopback TLS-PSK listener on a free port. It serves its
// first connection (one client per host) as the real host does: the greeting, then `stream`
// over and over, a frame every 16 ms. What the client sends is in client().

#include <atomic>
#include <thread>

#include "protocol/control_messages.h"
#include "tools/test_video.h"
#include "transport/channel_harness.h"

namespace quorin {

class FakeHost {
 public:
  FakeHost(Bytes key, std::vector<WireMessage> stream)
      : harness_(SecureChannel::parameters(key).tls), feeder_([this, stream] { serve(stream); }) {}
  // Stops the stream; the harness then ends the connection as a host that goes away does.
  ~FakeHost() {
    running_ = false;
    feeder_.join();
  }

  std::uint16_t port() const { return harness_.port(); }
  Recorder& client() { return harness_.serverSide; }

 private:
  void serve(const std::vector<WireMessage>& stream) {
    while (running_ && !client().waitForEvent("ready", std::chrono::milliseconds(20))) {
    }
    if (!running_) return;
    auto channel = harness_.serverChannel();
    channel->sendJSON(MessageType::hello, HelloMessage{"fake host", kTestVideoWidth, kTestVideoHeight});
    for (std::size_t i = 0; running_; ++i) {
      const WireMessage& message = stream[i % stream.size()];
      channel->send(message.type, message.payload);
      if (message.type == MessageType::videoFrame) std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
  }

  ChannelHarness harness_;
  std::atomic<bool> running_{true};
  std::thread feeder_;
};

}  // namespace quorin
