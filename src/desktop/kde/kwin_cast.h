#pragma once
// One screen cast of KWin's: an output or a window, as a PipeWire node on the user's own
// PipeWire daemon, with the pointer sent as metadata beside the pictures (KWin 5.27 crashes on
// the next pointer motion over an output cast that draws the pointer in). The cast lives
// until this object goes or KWin closes it (its window closed, its output gone). Thread of
// the connection.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "desktop/kde/kwin_connection.h"
#include "video/capture_error.h"

namespace quorin::kde {

class KwinCast {
 public:
  // What to cast: the output `output`, or the window whose uuid is `windowUuid` (tests).
  struct Source {
    wl_output* output = nullptr;
    std::string windowUuid{};
  };

  // Asks `connection` (which must grant the screen cast) for a cast of `source` and waits for
  // its node. Nothing, with `error` set, when KWin refuses, does not answer within the
  // connection's set-up time, or `cancelled` (optional) is set.
  static std::unique_ptr<KwinCast> start(KwinConnection& connection, const Source& source,
                                         const std::atomic<bool>* cancelled, CaptureError& error);
  ~KwinCast();
  KwinCast(const KwinCast&) = delete;
  KwinCast& operator=(const KwinCast&) = delete;

  std::uint32_t node() const { return *node_; }
  // KWin ended the cast.
  bool closed() const { return closed_; }

 private:
  KwinCast() = default;

  static const zkde_screencast_stream_unstable_v1_listener listener;

  zkde_screencast_stream_unstable_v1* stream_ = nullptr;
  std::optional<std::uint32_t> node_;
  std::optional<std::string> failed_;  // KWin's reason for refusing
  bool closed_ = false;
};

}  // namespace quorin::kde
