#pragma once
// A plain Wayland client for tests and benchmarks: a full-screen xdg-shell window, painted with
// one solid colour, that records the pointer and keyboard events reaching it, with the text of
// each key press as the compositor's keymap gives it. It connects to $WAYLAND_DISPLAY and reads
// its connection on a thread of its own as events arrive, as an application would. Every public
// call may be made from any one other thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorin {

// Modifiers in effect, as a mask of these.
enum WaylandModifier : unsigned {
  kWaylandShift = 1,
  kWaylandControl = 2,
  kWaylandAlt = 4,
};

struct WaylandInputEvent {
  enum class Type { pointerEnter, motion, button, axis, axisDiscrete, key, modifiers };
  Type type = Type::motion;
  // Surface-local pointer position as of the event.
  double x = 0;
  double y = 0;
  std::uint32_t code = 0;  // button (BTN_*), axis (wl_pointer.axis) or evdev key code
  bool pressed = false;    // button or key
  double value = 0;        // axis length
  int discrete = 0;        // axis steps
  unsigned modifiers = 0;  // WaylandModifier mask: for a key, in effect as it went down
  std::uint32_t keysym = 0;
  std::string text;        // UTF-8 of a key press
  std::chrono::steady_clock::time_point arrival;
};

class WaylandTestClient {
 public:
  // Connects and maps the window; gives up after `timeout`.
  explicit WaylandTestClient(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~WaylandTestClient();
  WaylandTestClient(const WaylandTestClient&) = delete;
  WaylandTestClient& operator=(const WaylandTestClient&) = delete;

  // The window is shown: false when the compositor was unreachable or refused it.
  bool ready() const { return ready_; }
  // Why it is not ready, for a skip or failure message.
  const std::string& error() const { return error_; }
  // The window's size in surface pixels (the output's logical size when full screen).
  int width() const { return width_; }
  int height() const { return height_; }

  // Waits until the window holds the keyboard focus.
  bool waitForKeyboardFocus(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Waits at most `timeout` until `done` holds for what was received so far.
  bool waitFor(const std::function<bool(const std::vector<WaylandInputEvent>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything received so far, forgotten here.
  std::vector<WaylandInputEvent> take();
  static std::string typedText(const std::vector<WaylandInputEvent>& events);

  struct State;  // what the client's thread owns

 private:
  void run(std::chrono::milliseconds timeout);
  void record(WaylandInputEvent event);
  void setFocus(bool held);
  friend struct State;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<WaylandInputEvent> received_;
  bool started_ = false;
  bool ready_ = false;
  bool stop_ = false;
  bool keyboardFocus_ = false;
  std::string error_;
  int width_ = 0;
  int height_ = 0;
  std::uint64_t painted_ = 0;  // paints shown so far
  int wake_ = -1;              // eventfd that wakes the client's thread
  std::thread thread_;
};

}  // namespace quorin
