#pragma once
// One client's connection and, once it is ready, its video stream: the channel, the encoder
// that writes straight into it and the capture that feeds the encoder.
//
// Thread: made, driven and destroyed on the main thread. The channel's callbacks run on the
// server's io thread; the session turns them into `Events` calls on the main thread through
// `mainThread`, and only while the session exists, so a report from a session that was
// replaced or ended never reaches anyone. Inbound `input` and `system` payloads are decoded
// on the io thread; anything else, and anything undecodable, is dropped there silently.
//
// Input is bounded so that no client can swamp the host: inbound frames larger than
// kMaxInboundPayload end the connection; decoded commands wait in an InputInbox, which drops
// only what may be lost, and a client that overfills it even so is ended. The main thread
// takes from the inbox for about kSliceTime per turn of its loop, so that other work (Stop,
// Quit) is never stuck behind a client's backlog.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/task_runner.h"
#include "protocol/control_messages.h"

namespace quorin {

class DisplayCapturer;
class InputInbox;
class MessageChannel;
class ScreenCaptureManager;
class VideoEncoder;

class ClientSession {
 public:
  static constexpr std::size_t kMaxInboundPayload = 1 << 20;
  static constexpr std::chrono::milliseconds kSliceTime{5};

  // Main-thread reports. `closed` may destroy the session.
  struct Events {
    std::function<void(ClientSession&)> closed;
    std::function<void(ClientSession&, const InputEvent&)> input;
    std::function<void(ClientSession&, SystemCommand::Action)> system;
    // The shared screen went away for good (the user stopped sharing, the compositor ended
    // the stream); the text says why, for the user. Video has stopped.
    std::function<void(ClientSession&, const std::string&)> captureEnded;
  };

  struct StreamSettings {
    int fps = 60;
    std::int64_t bitrate = 8'000'000;
    std::string hostName;  // for the greeting
  };

  // Takes a channel whose handshake succeeded (see PendingHandshakes) and starts it.
  ClientSession(std::shared_ptr<MessageChannel> channel, TaskRunner& mainThread, Events events);
  ~ClientSession();  // end()
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Starts video of the first display and then greets the client. On failure returns the
  // text for the user; the connection stays open without video.
  std::optional<std::string> beginStreaming(DisplayCapturer& capturer, const StreamSettings& settings);

  // Stops capture, then the encoder (its pending frames still go out), then cancels the
  // channel. Safe to call more than once.
  void end();

  bool isStreaming() const { return capture_ != nullptr; }
  // "address:port" of the client.
  const std::string& remoteEndpoint() const;

  // Pictures the encoder skipped (replaced while waiting or held back by a slow link).
  std::uint64_t skippedImages() const;

 private:
  // Hands the link's congestion to whichever encoder is current; shared with the io thread.
  struct CongestionGate {
    std::mutex mutex;
    bool congested = false;
    std::shared_ptr<VideoEncoder> encoder;
    void set(bool value);
    void attach(std::shared_ptr<VideoEncoder> encoder);
  };

  static void postDrain(TaskRunner& mainThread, std::weak_ptr<ClientSession*> session);
  void drainInbox();

  TaskRunner& mainThread_;
  std::shared_ptr<Events> events_;
  std::shared_ptr<ClientSession*> self_;  // weak handles guard the posted reports
  std::shared_ptr<InputInbox> inbox_;
  std::shared_ptr<CongestionGate> gate_;
  std::shared_ptr<MessageChannel> channel_;
  std::shared_ptr<VideoEncoder> encoder_;
  std::unique_ptr<ScreenCaptureManager> capture_;
};

}  // namespace quorin
