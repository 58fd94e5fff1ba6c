#pragma once
// DisplayStream fed by the PipeWire node of a screen-sharing session (the portal's, mutter's
// own screen cast, or KWin's). The compositor pushes a picture only when the screen changed;
// the newest one is kept (older ones are skipped) and handed out once by grab(), and again on
// grab(true), so a screen that never changes still gives its first picture. Only SHM buffers
// (MemFd, MemPtr) in BGRx or BGRA are accepted; a producer that can offer only DMA-BUF ends
// the stream with an error.
//
// The pointer: a producer that embeds it in the picture (mutter, most portals) sends no
// cursor metadata and its pictures are handed out untouched. A producer that sends the
// pointer as metadata (KWin) gets it drawn into the picture here: every buffer's metadata is
// read, an empty buffer (no data, or flagged corrupted) moves the pointer without a picture,
// and a pointer move alone gives a new picture (the last one with the pointer at its new
// place, changedArea() naming both places). A pointer bitmap that does not fit its metadata
// is ignored and the last shape kept; an invalid cursor (id 0) hides the pointer.
//
// Threads: PipeWire calls back on the stream's own "pipewire" thread, which only copies the
// newest picture and the pointer aside. open(), grab(), changedArea(), waitForChange(),
// failure() and the destructor belong to one thread at a time (the capture thread once
// streaming), which also draws the pointer; interrupt() to any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "video/cursor_overlay.h"
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
  // Everything after a new picture; only the pointer's old and new places after a pointer move.
  ChangedArea changedArea() const override { return changedArea_; }
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
  // Where the producer's cursor metadata puts the pointer's bitmap (its top-left corner, the
  // hotspot already taken off), in picture pixels.
  struct Pointer {
    bool visible = false;
    int left = 0;
    int top = 0;
    bool operator==(const Pointer&) const = default;
  };
  // A pointer bitmap as CursorOverlay takes it: premultiplied 0xAARRGGBB, row by row; empty
  // for an invisible pointer.
  struct PointerShape {
    std::vector<std::uint32_t> argb;
    int width = 0;
    int height = 0;
  };
  struct PipeWire;  // the PipeWire objects and their callbacks
  friend struct PipeWire;

  PipeWireDisplayStream() = default;
  // PipeWire thread: hands over what changed (each may be null); `picture` gets back a buffer
  // the grabbing thread is done with, `shape` is moved from.
  void deliver(Picture* picture, const Pointer* pointer, PointerShape* shape);
  void fail(const CaptureError& error);

  PipeWireNode node_;
  std::unique_ptr<PipeWire> pipeWire_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Under mutex_: what arrived and was not yet grabbed.
  Picture latest_;
  bool hasNewPicture_ = false;
  Pointer latestPointer_;
  bool hasNewPointer_ = false;
  PointerShape latestShape_;
  bool hasNewShape_ = false;
  bool interrupted_ = false;
  bool running_ = false;
  std::optional<CaptureError> failure_;

  // The grabbing thread only.
  Picture front_;  // the picture grab() handed out, the pointer drawn in
  BgraImage image_;
  Pointer pointer_;
  CursorOverlay cursor_;
  ChangedArea changedArea_;
};

}  // namespace quorin
