#pragma once
// A plain X client for tests and benchmarks: a window over an area that holds the keyboard
// focus and records the pointer and key events reaching it, with the text of each key press.
// Its connection is read on a thread of its own as events arrive, as an application would.
// X11TestDisplay asks the display questions on a second connection, from the caller's thread.

#include <stop_token>
#include <thread>
#include <utility>

#include "base/geometry.h"
#include "input/input_recorder.h"

struct _XDisplay;

namespace quorin {

class X11TestClient : public InputRecorder {
 public:
  explicit X11TestClient(ScreenRect area);

 private:
  void run(ScreenRect area, const std::stop_token& stop);

  std::jthread thread_;  // last: stops and joins before the rest goes
};

class X11TestDisplay {
 public:
  X11TestDisplay();
  ~X11TestDisplay();

  bool connected() const { return display_ != nullptr; }
  std::pair<int, int> pointer() const;
  // The locked layout group and whether Caps Lock is on, and setting them.
  std::pair<int, bool> keyboardLock() const;
  void lockKeyboard(int group, bool capsLock);

 private:
  _XDisplay* display_;
};

}  // namespace quorin
