#pragma once
// A plain X client for tests and benchmarks: a window over an area that holds the keyboard
// focus and records the pointer and key events reaching it, with the text of each key press.
// Its connection is read on a thread of its own as events arrive, as an application would.
// X11TestDisplay asks the display questions on a second connection, from the caller's thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/geometry.h"

struct _XDisplay;

namespace quorin {

struct ReceivedEvent {
  enum class Type { keyPress, keyRelease, buttonPress, buttonRelease, motion };
  Type type = Type::motion;
  unsigned detail = 0;       // button number
  unsigned state = 0;        // modifier mask before a key event
  unsigned long keysym = 0;  // of a key event
  std::string text;          // UTF-8 of a key press
  int rootX = 0;
  int rootY = 0;
  std::chrono::steady_clock::time_point arrival;
};

class X11TestClient {
 public:
  explicit X11TestClient(ScreenRect area);
  ~X11TestClient();

  // False when the display was unreachable.
  bool ready() const { return ready_; }
  // Waits at most `timeout` until `done` holds for what was received so far.
  bool waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything received so far, forgotten here.
  std::vector<ReceivedEvent> take();
  static std::string typedText(const std::vector<ReceivedEvent>& events);

 private:
  void run(ScreenRect area);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedEvent> received_;
  bool started_ = false;
  bool ready_ = false;
  bool stop_ = false;
  std::thread thread_;
};

class X11TestDisplay {
 public:
  X11TestDisplay();
  ~X11TestDisplay();

  bool connected() const { return display_ != nullptr; }
  ScreenRect sharedScreen() const;
  std::pair<int, int> pointer() const;
  // The core keyboard and modifier mappings, flattened for comparison.
  std::vector<std::uint64_t> keymap() const;
  // The locked layout group and whether Caps Lock is on, and setting them.
  std::pair<int, bool> keyboardLock() const;
  void lockKeyboard(int group, bool capsLock);

 private:
  _XDisplay* display_;
};

}  // namespace quorin
