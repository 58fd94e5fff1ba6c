#pragma once
// A client connection to a host: connects by address, completes the TLS-PSK handshake with
// the pairing key, decodes the video stream and sends input and system commands. The
// quorin-client program and the latency benchmark are both built on it.
//
// Threads: construct, start(), stop(), stats() and the send functions on any one thread.
// Every callback runs on the client's own "client" thread, one at a time, so a slow callback
// delays the stream; stop() must not be called from a callback. After stop() no callback runs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/io_thread.h"
#include "client/stream_stats.h"
#include "client/video_receiver.h"
#include "protocol/control_messages.h"
#include "protocol/frame.h"
#include "transport/message_channel.h"

namespace quorin {

class StreamClient {
 public:
  static constexpr std::uint16_t kDefaultPort = 52877;

  struct Options {
    std::string host;  // name or address; an IPv6 address without brackets
    std::uint16_t port = kDefaultPort;
    Bytes key;         // the pairing key, the TLS pre-shared key
    std::chrono::milliseconds connectTimeout{5000};
    // Reads at most this many bytes per second (0: as fast as they come), so the host sees
    // a slow link. The pace is kept by holding back reads, as a slow network would.
    std::uint64_t readRate = 0;
  };

  enum class Outcome {
    connectFailed,    // name not resolved, nothing listening, no answer in time
    handshakeFailed,  // the TLS handshake did not complete: usually a wrong pairing key
    closedByHost,     // the connection ended after the handshake
  };

  std::function<void()> onReady;  // the handshake completed
  std::function<void(const HelloMessage& hello)> onHello;
  std::function<void(const DecodedFrame& frame)> onPicture;
  std::function<void(ByteView accessUnit)> onAccessUnit;  // see VideoReceiver
  // The end of the connection, once, unless stop() came first. `detail` is the system's
  // description of the error, empty for an orderly close.
  std::function<void(Outcome outcome, const std::string& detail)> onEnd;

  explicit StreamClient(Options options);
  ~StreamClient();  // stop()
  StreamClient(const StreamClient&) = delete;
  StreamClient& operator=(const StreamClient&) = delete;

  // Set the callbacks first.
  void start();
  // Sent once the handshake has completed; dropped before that and after the end.
  void send(const InputEvent& event);
  void send(const SystemCommand& command);
  void stop();

  // Collects the figures on the client's thread: may wait for a callback to return.
  StreamStats stats();
  // videoFrame messages so far, at once from any thread.
  std::uint64_t framesReceived() const { return framesReceived_.load(); }

 private:
  void connected(std::error_code ec, std::unique_ptr<MessageChannel> channel);
  void receive(MessageType type, const Bytes& payload);
  void closed(std::error_code ec);
  void end(Outcome outcome, const std::string& detail);
  void keepPace(std::size_t bytes);

  const Options options_;
  // Everything below, up to io_, belongs to the "client" thread.
  std::unique_ptr<MessageChannel> channel_;
  VideoReceiver video_;
  StreamStats stats_;
  std::optional<SteadyTime> readyAt_;
  std::optional<SteadyTime> endedAt_;
  std::uint64_t paced_ = 0;  // bytes counted against readRate
  bool stopped_ = false;
  std::atomic<std::uint64_t> framesReceived_{0};
  // Last, so that its thread has ended before anything it touches goes away.
  IoThread io_{"client"};
};

}  // namespace quorin
