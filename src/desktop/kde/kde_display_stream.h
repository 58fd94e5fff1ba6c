#pragma once
// The pictures of one output of a KDE desktop, from KWin's own screen cast (see KwinCast), with
// the pointer drawn in from the cast's metadata. It follows the layout as the X11 stream
// does: when the output cast leaves (unplugged, disabled), the primary one is cast instead,
// and the chosen one again once it is back; a mode change keeps the cast, whose pictures
// change size. Tests may cast a window in place of an output.
//
// Threads: as DisplayStream. The Wayland connection is read on the capture thread: in grab(),
// and in waitForChange(), which looks at it between waits for pictures.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/kde/kwin_cast.h"
#include "desktop/kde/kwin_connection.h"
#include "video/display_stream.h"
#include "video/wayland/pipewire_display_stream.h"

namespace quorin::kde {

class KdeDisplayStream final : public DisplayStream {
 public:
  // What to cast: the output called `output` (empty, or one that is not there: the primary
  // one), or, when `windowUuid` is set, that window.
  struct Source {
    std::string output{};
    std::string windowUuid{};
  };

  // Connects to KWin at `display` ($WAYLAND_DISPLAY when empty) and waits for the cast's
  // stream to run. Nothing, with `error` set, when KWin does not grant its screen cast,
  // refuses, or `cancelled` is set.
  static std::unique_ptr<KdeDisplayStream> open(const std::string& display, Source source,
                                                const std::atomic<bool>* cancelled, CaptureError& error);
  ~KdeDisplayStream() override;

  const BgraImage* grab(bool force) override;
  ChangedArea changedArea() const override;
  // The output's rectangle in KWin's global layout, where fake input points; a window's
  // pictures at 0, 0.
  ScreenRect area() const override;
  // True also when KWin ended the cast or the layout changed.
  bool waitForChange(std::chrono::steady_clock::time_point deadline) override;
  void interrupt() override;
  std::optional<CaptureError> failure() const override { return failure_; }

  // The name of the output cast; empty for a window.
  const std::string& castOutput() const { return castOutput_; }

 private:
  explicit KdeDisplayStream(Source source) : source_(std::move(source)) {}
  // Casts what source_ names in place of the cast so far. False, with `error` set, on failure.
  bool cast(const std::atomic<bool>* cancelled, CaptureError& error);
  // Reads what KWin said: layout changes are followed, the cast's end becomes failure_.
  void update();
  std::shared_ptr<PipeWireDisplayStream> pictures() const;

  const Source source_;
  std::unique_ptr<KwinConnection> connection_;
  std::unique_ptr<KwinCast> cast_;
  std::string castOutput_;
  ScreenRect area_;
  std::optional<CaptureError> failure_;
  mutable std::mutex mutex_;  // pictures_, for interrupt() from any thread
  std::shared_ptr<PipeWireDisplayStream> pictures_;
};

}  // namespace quorin::kde
