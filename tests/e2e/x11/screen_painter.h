#pragma once
// Covers the whole X screen with a window of its own and paints it, for end-to-end tests and
// benchmarks: four fixed quadrants, or an animation where every frame changes everywhere.
// Has its own X connection; the animation runs on a thread of its own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

struct _XDisplay;

namespace quorin {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

class ScreenPainter {
 public:
  // Colours of the quadrants: top left, top right, bottom left, bottom right.
  static constexpr Rgb kQuadrants[4] = {{220, 30, 30}, {30, 200, 40}, {30, 60, 220}, {240, 240, 240}};

  ScreenPainter();
  ~ScreenPainter();
  ScreenPainter(const ScreenPainter&) = delete;
  ScreenPainter& operator=(const ScreenPainter&) = delete;

  bool ready() const { return display_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }

  void paintQuadrants();
  // Repaints at `fps` until stopAnimation(): random blocks everywhere, then `overlay` (which
  // draws with the painter's connection, e.g. a time code) after each frame.
  using Overlay = std::function<void(_XDisplay* display, unsigned long window, unsigned long gc)>;
  void startAnimation(int fps, Overlay overlay = nullptr);
  void stopAnimation();

 private:
  _XDisplay* display_ = nullptr;
  unsigned long window_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::atomic<bool> animating_{false};
  std::thread animation_;
};

}  // namespace quorin
