#pragma once
// A plain Wayland client for tests and benchmarks: a full-screen xdg-shell window of one colour that
// records the pointer and keyboard events reaching it, with the text of each key press as the
// compositor's keymap gives it, and the keyboard focus. It reads its connection on a thread of
// its own as events arrive, as an application would.

#include <cstdint>
#include <stop_token>
#include <string>
#include <thread>

#include "input/input_recorder.h"

namespace quorin {

class WaylandTestClient : public InputRecorder {
 public:
  // Connects to `display` ($WAYLAND_DISPLAY when null) and maps the window, painted in
  // `colour` (0xRRGGBB; black by default).
  explicit WaylandTestClient(const char* display = nullptr, std::uint32_t colour = 0);

  // Why it is not ready, for a skip or failure message.
  const std::string& error() const { return error_; }
  // The window's size in surface pixels (the output's logical size when full screen).
  int width() const { return width_; }
  int height() const { return height_; }

  struct State;  // what the client's thread owns

 private:
  void run(const char* display, const std::stop_token& stop);
  friend struct State;

  std::string error_;
  const std::uint32_t colour_;
  int width_ = 0;
  int height_ = 0;
  std::uint64_t painted_ = 0;  // paints shown so far
  std::jthread thread_;        // last: stops and joins before the rest goes
};

}  // namespace quorin
