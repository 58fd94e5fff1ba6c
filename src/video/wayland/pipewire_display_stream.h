#pragma once
// DisplayStream fed by the PipeWire node of a screen-sharing session (the portal's, or mutter's
// own screen cast). The compositor
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

namespace quorin {

// Where a session's pictures come from.
struct PipeWireNode {
  // A connection to the PipeWire remote that carries the node (a portal hands out one of its
  // own), which the stream takes over; -1 connects to the user's own PipeWire daemon.
  int remoteFd = -1;
  std::uint32_t id = 0;
  // The monitor's size in the units of the session's pointer motion (logical pixels where the
  // desktop scales), which may differ from the pictures'.
  int width = 0;
  int height = 0;
  std::shared_ptr<void> keepAlive{};  // the session behind the node, kept as long as the stream
};

class PipeWireDisplayStream final : public DisplayStream {
 public:
  // Connects to `node`; blocks until the stream runs, fails, or `timeout` passes (a stream
  // that is merely slow to start is returned anyway). Nothing, with `error` set, when the
  // stream cannot be opened or `cancelled` (optional) is set on the way.
  static std::unique_ptr<PipeWireDisplayStream> open(PipeWireNode node, std::chrono::milliseconds timeout,
                                                     const std::atomic<bool>* cancelled,
                                                     CaptureError& error);
  ~PipeWireDisplayStream() override;

  const BgraImage* grab(bool force) override;
  // The node's size at 0, 0 (see PipeWireNode).
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

  PipeWireNode node_;
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
