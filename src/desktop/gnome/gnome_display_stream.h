#pragma once
// The pictures of one monitor of a GNOME desktop, from mutter's screen cast (see
// MutterRemoteDesktop). It follows the layout as the X11 stream does: when the monitor streamed
// leaves it (disabled, unplugged), the primary one is recorded instead, and the chosen one
// again once it is back. A mode change of the same monitor needs nothing: mutter gives the
// stream the new size.
//
// Threads: as DisplayStream. Following the layout records on the capture thread (in grab),
// each call time-limited; mutter's bus thread only interrupts a wait.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/gnome/mutter_remote_desktop.h"
#include "video/display_stream.h"
#include "video/wayland/pipewire_display_stream.h"

namespace quorin {

class GnomeDisplayStream final : public DisplayStream {
 public:
  // Records the monitor called `wanted` (empty, or one that is not there: the primary one) and
  // waits for its stream. Nothing, with `error` set, when mutter refuses or `cancelled` is set.
  static std::unique_ptr<GnomeDisplayStream> open(std::shared_ptr<MutterRemoteDesktop> remote, std::string wanted,
                                                  std::chrono::milliseconds callLimit,
                                                  const std::atomic<bool>* cancelled, CaptureError& error);
  ~GnomeDisplayStream() override;

  const BgraImage* grab(bool force) override;
  // The recorded monitor's size at 0, 0, in the units of the session's pointer motion.
  ScreenRect area() const override;
  // True also when the layout changed or the session ended.
  bool waitForChange(std::chrono::steady_clock::time_point deadline) override;
  void interrupt() override;
  std::optional<CaptureError> failure() const override;

 private:
  GnomeDisplayStream(std::shared_ptr<MutterRemoteDesktop> remote, std::string wanted,
                     std::chrono::milliseconds callLimit);
  // Records `monitor` in place of the stream so far. False, with `error` set, when it fails.
  bool record(const Monitor& monitor, const std::atomic<bool>* cancelled, CaptureError& error);
  // Records another monitor when the layout asks for it; capture thread.
  void followLayout();
  std::shared_ptr<PipeWireDisplayStream> pictures() const;

  const std::shared_ptr<MutterRemoteDesktop> remote_;
  const std::string wanted_;
  const std::chrono::milliseconds callLimit_;
  ScreenRect area_;
  mutable std::optional<CaptureError> failure_;  // capture thread
  mutable std::mutex mutex_;                     // pictures_, for interrupt() from any thread
  std::shared_ptr<PipeWireDisplayStream> pictures_;
};

}  // namespace quorin
