#pragma once
// DisplayStream fed by the PipeWire node of a screen-sharing portal session. The compositor
// pushes a picture only when the screen changed; the newest one is kept (older ones are
// skipped) and handed out once by grab(), and again on grab(true), so a screen that never
// changes still gives its first picture. Only SHM buffers (MemFd, MemPtr) in BGRx or BGRA
// are accepted; a producer that can offer only DMA-BUF ends the stream with an error.
//
// Threads: PipeWire calls back on the stream's own "pipewire" thread, which only copies the
// newest picture aside. open(), grab(), waitForChange(), failure() and the destructor belong
// to one thread at a time (the capture thread once streaming); interrupt() to any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "video/display_stream.h"
#include "video/wayland/portal_session.h"

namespace quorin {

class PipeWireDisplayStream final : public DisplayStream {
 public:
  // Connects to the session's node; blocks until the stream runs, fails, or `timeout`
  // passes (a stream that is merely slow to start is returned anyway). Nothing, with
  // `error` set, when the stream cannot be opened or `cancelled` (optional) is set on the
  // way. The session lives as long as the stream.
  static std::unique_ptr<PipeWireDisplayStream> open(std::shared_ptr<PortalSession> session,
                                                     std::chrono::milliseconds timeout,
                                                     const std::atomic<bool>* cancelled,
                                                     CaptureError& error);
  ~PipeWireDisplayStream() override;

  const BgraImage* grab(bool force) override;
  // The monitor as the portal describes it: its size in the units of the session's pointer
  // motion (logical pixels where the desktop scales), which may differ from the pictures'.
  ScreenRect area() const override;
  // True as soon as a new picture has arrived (or the stream failed); false at `deadline`.
  bool waitForChange(std::chrono::steady_clock::time_point deadline) override;
  void interrupt() override;
  std::optional<CaptureError> failure() const override;

 private:
  struct Picture {
    std::vector<std::uint8_t> bytes;
    int width = 0;
    int height = 0;
    int stride = 0;
  };
  struct PipeWire;  // the PipeWire objects and their callbacks
  friend struct PipeWire;

  PipeWireDisplayStream() = default;
  void deliver(Picture& filled);  // PipeWire thread: the newest picture is ready
  void fail(const CaptureError& error);

  std::shared_ptr<PortalSession> session_;
  std::unique_ptr<PipeWire> pipeWire_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Picture latest_;  // the newest picture not yet grabbed, under mutex_
  bool hasNew_ = false;
  bool interrupted_ = false;
  bool running_ = false;
  std::optional<CaptureError> failure_;

  Picture front_;  // the picture grab() handed out; the grabbing thread only
  BgraImage image_;
};

}  // namespace quorin
