#pragma once
// What the X11 and Wayland test clients record of the input reaching their window, in one
// form: positions are window-local, buttons evdev codes (BTN_*), a wheel click is one step on
// a Wayland axis (vertical 0, horizontal 1; up and left negative). The client's own thread
// (a std::jthread, its last member) records; any one other thread makes the public calls.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorin {

// Modifiers in effect, as a mask of these (the X11 core masks, and XKB's real modifiers).
constexpr unsigned kShiftHeld = 1, kControlHeld = 4, kAltHeld = 8, kHeldMask = kShiftHeld | kControlHeld | kAltHeld;

struct ReceivedEvent {
  enum class Type { motion, button, axis, axisDiscrete, key, focus };
  Type type = Type::motion;
  double x = 0, y = 0;  // pointer position as of the event
  std::uint32_t code = 0;  // button, axis or evdev key code
  bool pressed = false;    // button or key, or the keyboard focus held
  double value = 0;        // axis length
  int discrete = 0;        // axis steps
  unsigned modifiers = 0;  // mask of k*Held: for a key, in effect as it went down
  std::uint32_t keysym = 0;
  std::string text = {};  // UTF-8 of a key press
  std::chrono::steady_clock::time_point arrival = {};
};

class InputRecorder {
 public:
  // The window is shown: false when the display was unreachable or refused it.
  bool ready() const { return ready_.value_or(false); }
  // Waits at most `timeout` until `done` holds for what was received so far.
  bool waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(received_); });
  }
  // Everything received so far, forgotten here.
  std::vector<ReceivedEvent> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(received_, {});
  }
  static std::string typedText(const std::vector<ReceivedEvent>& events) {
    std::string text;
    for (const ReceivedEvent& e : events) text += e.text;
    return text;
  }
  // The window holds the keyboard focus, as far as focus events tell.
  static bool focused(const std::vector<ReceivedEvent>& events) {
    const auto last = std::find_if(events.rbegin(), events.rend(),
                                   [](const auto& e) { return e.type == ReceivedEvent::Type::focus; });
    return last != events.rend() && last->pressed;
  }

 protected:
  void record(ReceivedEvent event) {
    event.arrival = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    received_.push_back(std::move(event));
    changed_.notify_all();
  }

  // For the client's thread: the window is up, or never will be.
  void started(bool ready) {
    std::lock_guard lock(mutex_);
    ready_ = ready;
    changed_.notify_all();
  }
  // For the client's constructor, once its thread runs.
  void waitUntilStarted() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ready_.has_value(); });
  }

  std::mutex mutex_;
  std::condition_variable changed_;

 private:
  std::vector<ReceivedEvent> received_;
  std::optional<bool> ready_;  // once started
};

}  // namespace quorin
