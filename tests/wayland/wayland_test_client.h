#pragma once
// A plain Wayland client for tests and benchmarks: a full-screen xdg-shell window of one colour
// (black unless told), on the output it is told or the one the compositor chooses, that records
// the pointer and keyboard events reaching it, with the text of each key press as the
// compositor's keymap gives it, and the keyboard focus. It may show the pointer as a square of
// its own colour, so that a picture of the screen shows where the pointer is. It reads its
// connection on a thread of its own as events arrive, as an application would.

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "input/input_recorder.h"

namespace quorin {

class WaylandTestClient : public InputRecorder {
 public:
  struct Look {
    std::uint32_t colour = 0;  // of the window, 0xRRGGBB
    std::string output{};      // the name of the output to fill (Meta-0, Virtual-1); empty: the compositor's choice
    std::optional<std::uint32_t> pointer{};  // 0xRRGGBB of a kPointerSize square, its hot spot top left
    std::string title{};  // by which a window list finds the window; empty: none
    std::string appId{};  // likewise
  };
  static constexpr int kPointerSize = 16;

  // Connects to `display` ($WAYLAND_DISPLAY when null) and maps the window.
  explicit WaylandTestClient(const char* display = nullptr);
  WaylandTestClient(const char* display, Look look);

  // Why it is not ready, for a skip or failure message.
  const std::string& error() const { return error_; }
  // The window's size in surface pixels (the output's logical size when full screen).
  int width() const { return width_; }
  int height() const { return height_; }

  struct State;  // what the client's thread owns

 private:
  void run(const char* display, const std::stop_token& stop);
  friend struct State;

  const Look look_;  // read by the client's thread
  std::string error_;
  int width_ = 0;
  int height_ = 0;
  std::uint64_t painted_ = 0;  // paints shown so far
  std::jthread thread_;        // last: stops and joins before the rest goes
};

}  // namespace quorin
