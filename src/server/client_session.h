#pragma once
// One client's connection and, once it is ready, what it sees and touches of the desktop: the
// channel, a desktop session (one monitor's picture stream and its input), the encoder that
// writes straight into the channel and the capture that feeds the encoder.
//
// Thread: made, driven and destroyed on the main thread. The channel's callbacks run on the
// server's io thread; the session turns them into `Events` calls on the main thread through
// `mainThread`, and only while the session exists, so a report from a session that was
// replaced or ended never reaches anyone. Inbound `input` and `system` payloads are decoded
// on the io thread; anything else, and anything undecodable, is dropped there silently. The
// desktop session is made on a thread of its own (a portal may show the user a dialog) and
// handed to the main thread, which starts video with it.
//
// Input is bounded so that no client can swamp the host: inbound frames larger than
// kMaxInboundPayload end the connection; decoded commands wait in an InputInbox, which drops
// only what may be lost, and a client that overfills it even so is ended. The main thread
// takes from the inbox for about kSliceTime per turn of its loop, so that other work (Stop,
// Quit) is never stuck behind a client's backlog, and hands the desktop session's input
// thread only a few events at a time, so that the inbox's bounds hold for a slow display.
// Input waits for the desktop session from the moment the channel starts (it may come before
// streaming is even asked for), so that a client's first touches are not lost; system
// commands are carried out at once meanwhile, and while the input thread is behind.
// Input after the desktop could not be opened is dropped: there is nowhere to put it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/geometry.h"
#include "base/task_runner.h"
#include "protocol/control_messages.h"

namespace quorin {

class DesktopEnvironment;
class DesktopSession;
class DesktopSessionRequest;
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
    std::function<void(ClientSession&, SystemCommand::Action)> system;
    // Video runs and the client was greeted.
    std::function<void(ClientSession&)> streaming;
    // Something the user should know, as a sentence: video could not start (the connection
    // stays open without it), or it ended for good (the user stopped sharing, the display
    // went away), in which case `over` is set and the session has nothing left to do.
    std::function<void(ClientSession&, const std::string&, bool over)> problem;
  };

  struct StreamSettings {
    int fps = 60;
    std::int64_t bitrate = 8'000'000;
    std::string hostName;  // for the greeting
    std::string monitor;   // the monitor to stream; empty for the primary one
    // The largest stream: a bigger monitor is scaled down to fit, aspect ratio kept. A phone
    // shows no more, and two cores encode 1920x1080 at 60 frames/s where 4K manages ~20.
    PictureSize maxSize{1920, 1080};
  };

  // Takes a channel whose handshake succeeded (see PendingHandshakes) and starts it.
  ClientSession(std::shared_ptr<MessageChannel> channel, TaskRunner& mainThread, Events events);
  ~ClientSession();  // end()
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Asks `desktop` for a desktop session and, once it is there, starts video at a stream size
  // chosen from its first picture, then greets the client with that size. Returns at once;
  // the outcome comes as `streaming` or `problem`. No desktop: the client gets no video, and
  // its input is dropped.
  void beginStreaming(std::shared_ptr<DesktopEnvironment> desktop, const StreamSettings& settings);

  // Stops capture, then the encoder (its pending frames still go out), then cancels the
  // channel, and lets go of the desktop (and of any button the client held). Safe to call
  // more than once.
  void end();

  bool isStreaming() const { return capture_ != nullptr; }
  // The desktop session while video runs; for tests and the panel.
  const DesktopSession* desktop() const { return desktop_.get(); }
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
  void startVideo(std::unique_ptr<DesktopSession> desktop, const StreamSettings& settings);
  // Runs `report` on the main thread while the session exists; from any thread.
  void post(std::function<void(ClientSession&)> report);

  TaskRunner& mainThread_;
  std::shared_ptr<Events> events_;
  std::shared_ptr<ClientSession*> self_;  // weak handles guard the posted reports
  std::shared_ptr<InputInbox> inbox_;
  std::shared_ptr<CongestionGate> gate_;
  std::shared_ptr<MessageChannel> channel_;
  std::unique_ptr<DesktopSessionRequest> request_;
  enum class DesktopState { awaited, ready, unavailable };
  DesktopState desktopState_ = DesktopState::awaited;
  std::unique_ptr<DesktopSession> desktop_;
  std::shared_ptr<VideoEncoder> encoder_;
  std::unique_ptr<ScreenCaptureManager> capture_;
};

}  // namespace quorin
