#include "e2e/x11/screen_painter.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <random>

#include "e2e/x11/screen_cover.h"

namespace quorin {

ScreenPainter::ScreenPainter() {
  XInitThreads();
  display_ = XOpenDisplay(nullptr);
  if (!display_) return;
  const ScreenCover cover = coverScreen(display_, BlackPixel(display_, DefaultScreen(display_)));
  window_ = cover.window;
  width_ = cover.width;
  height_ = cover.height;
  XSync(display_, False);
}

ScreenPainter::~ScreenPainter() {
  stopAnimation();
  if (display_) XCloseDisplay(display_);
}

void ScreenPainter::paintQuadrants() {
  if (!display_) return;
  GC gc = XCreateGC(display_, window_, 0, nullptr);
  for (int q = 0; q < 4; ++q) {
    const Rgb c = kQuadrants[q];
    XSetForeground(display_, gc, (c.r << 16) | (c.g << 8) | c.b);
    XFillRectangle(display_, window_, gc, (q % 2) * (width_ / 2), (q / 2) * (height_ / 2), width_, height_);
  }
  XFreeGC(display_, gc);
  XSync(display_, False);
}

void ScreenPainter::startAnimation(int fps, Overlay overlay) {
  if (!display_ || animating_) return;
  animating_ = true;
  animation_ = std::thread([this, fps, overlay = std::move(overlay)] {
    GC gc = XCreateGC(display_, window_, 0, nullptr);
    std::mt19937 random(42);
    constexpr int kBlock = 60;
    auto next = std::chrono::steady_clock::now();
    while (animating_) {
      // A fresh colour for a third of the blocks each frame: motion everywhere on screen.
      for (int y = 0; y < height_; y += kBlock) {
        for (int x = 0; x < width_; x += kBlock) {
          if (random() % 3) continue;
          XSetForeground(display_, gc, random() & 0xFFFFFF);
          XFillRectangle(display_, window_, gc, x, y, kBlock, kBlock);
        }
      }
      if (overlay) overlay(display_, window_, reinterpret_cast<unsigned long>(gc));
      XSync(display_, False);
      next += std::chrono::microseconds(1'000'000 / fps);
      std::this_thread::sleep_until(next);
    }
    XFreeGC(display_, gc);
  });
}

void ScreenPainter::stopAnimation() {
  animating_ = false;
  if (animation_.joinable()) animation_.join();
}

}  // namespace quorin
