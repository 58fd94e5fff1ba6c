#pragma once
// Turns the client's input events into synthetic pointer and keyboard events on the shared
// screen. One injector per desktop session, made on the thread that made the session and
// from then on used and destroyed on that session's input thread only, with its sink.
// Reports nothing and never fails visibly.
//
// The client's command modifier ("cmd") becomes Control: clients made for another platform
// send it for copy, paste, undo, select all and the address bar, which are Control shortcuts
// here (as Super they would do nothing, or lock the screen with L). Its control modifier
// stays Control.

#include <cstdint>
#include <memory>
#include <optional>

#include "base/geometry.h"

#include "input/event_sink.h"
#include "protocol/control_messages.h"

namespace quorin {

struct ScreenPoint {
  double x = 0;
  double y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

class InputInjector {
 public:
  // Pixels of pixel-precise scrolling that make one wheel click.
  static constexpr int kScrollPixelsPerClick = 50;
  // Wheel clicks posted at most for one scroll event on each axis; more is dropped.
  static constexpr int kMaxWheelClicksPerEvent = 100;

  // With no sink (no display reachable) the injector exists and posts nothing.
  explicit InputInjector(std::unique_ptr<EventSink> sink);

  void handle(const InputEvent& event);

  // What the client sees of the desktop: pointer fractions are fractions of this stream and
  // land on its monitor. Until it is set they are fractions of the sink's screen frame.
  void setGeometry(const DesktopGeometry& geometry);

  // Lets go of every button a client left held down (a drag cut off by a disconnect), so the
  // next client starts with nothing pressed. Keys and modifiers are never held between events.
  void releaseAll();

  // The sink lost its display server (or was cut off from it): nothing is posted any more.
  bool failed() const { return sink_ && sink_->failed(); }

  // The last pointer position produced, in root-window pixels; (0, 0) before any.
  ScreenPoint lastMouse() const { return lastMouse_; }

 private:
  ScreenPoint screenPoint(const InputEvent& event);
  void moveTo(const InputEvent& event);
  void setButton(MouseButton button, bool down);
  void postClick(MouseButton button, int count);
  void scroll(const InputEvent& event);
  void typeText(const InputEvent& event);
  void pressSpecialKey(const InputEvent& event);

  std::unique_ptr<EventSink> sink_;
  std::optional<DesktopGeometry> geometry_;
  ScreenPoint lastMouse_;
  unsigned heldButtons_ = 0;  // bit per MouseButton
  // Scroll pixels not yet worth a wheel click, carried to the next event so slow scrolls move.
  std::int64_t pendingScrollX_ = 0;
  std::int64_t pendingScrollY_ = 0;
};

}  // namespace quorin
