#pragma once
// Screens of text for the text benchmarks, painted with Xft on the X display in DISPLAY.

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <libyuv/convert.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/geometry.h"
#include "client/picture.h"
#include "e2e/x11/screen_cover.h"
#include "video/image_sink.h"

namespace quorin {

// A window over the whole screen showing pages of code-like text, each drawn off screen and
// shown with one copy, so that the host never grabs half a page. The pointer is hidden over
// it: the screen's own picture (XGetImage) has no pointer either.
class TextScreen {
 public:
  // `pixelSize` 15 for the pages of code, 14 for the dense ones (11 point at 96 dpi).
  explicit TextScreen(int pixelSize) {
    display_ = XOpenDisplay(nullptr);
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    const ScreenCover cover = coverScreen(display_, WhitePixel(display_, screen));
    window_ = cover.window;
    width_ = cover.width;
    height_ = cover.height;
    const Pixmap blank = XCreatePixmap(display_, window_, 1, 1, 1);
    XColor black{};
    const Cursor none = XCreatePixmapCursor(display_, blank, blank, &black, &black, 0, 0);
    XDefineCursor(display_, window_, none);
    XFreePixmap(display_, blank);
    XWarpPointer(display_, None, window_, 0, 0, 0, 0, width_ / 2, height_ / 2);
    page_ = XCreatePixmap(display_, window_, width_, height_, DefaultDepth(display_, screen));
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    draw_ = XftDrawCreate(display_, page_, DefaultVisual(display_, screen), DefaultColormap(display_, screen));
    const std::string font = "DejaVu Sans Mono:pixelsize=" + std::to_string(pixelSize) + ":antialias=true:rgba=none:hintstyle=hintfull";
    font_ = XftFontOpenName(display_, screen, font.c_str());
    XRenderColor ink{0, 0, 0, 0xFFFF}, paper{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    XftColorAllocValue(display_, DefaultVisual(display_, screen), DefaultColormap(display_, screen), &ink, &ink_);
    XftColorAllocValue(display_, DefaultVisual(display_, screen), DefaultColormap(display_, screen), &paper,
                       &paper_);
    XSync(display_, False);
  }
  ~TextScreen() {
    if (!display_) return;
    if (font_) XftFontClose(display_, font_);
    if (draw_) XftDrawDestroy(draw_);
    XFreeGC(display_, gc_);
    XFreePixmap(display_, page_);
    XCloseDisplay(display_);
  }

  bool ready() const { return font_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }
  // The screen as the last show() or type() left it, in BGRX.
  BgraImage image() const { return {image_.data(), width_, height_, imageStride_}; }

  // Shows a white screen.
  void blank() {
    XftDrawRect(draw_, &paper_, 0, 0, width_, height_);
    copyToScreen(0, 0, width_, height_);
  }

  // Shows page `number` (a different text for each): lines of code of random length, up to
  // 230 columns and 75 lines to the screen with `dense`. Returns the screen's luma, as the
  // host's converter computes it.
  std::vector<std::uint8_t> show(int number, bool dense) {
    static const char* const kWords[] = {
        "return", "const", "auto", "std::vector<int>", "if", "else", "for", "while", "0x3F", "nullptr",
        "encoder_.encode(*image,", "pts);", "{", "}", "//", "frame", "picture", "->", "==", "&&", "size_t",
        "lock_guard", "mutex_;", "42", "width", "height", "stride", "(void)", "#include", "<chrono>", "Ω",
        "quorin::", "template", "typename", "T&", "int", "=", "+=", "i", "j", "k", "*", "bool", "true;"};
    std::mt19937 random(1234 + number);
    XftDrawRect(draw_, &paper_, 0, 0, width_, height_);
    const int lineHeight = dense ? height_ / 75 : font_->height;
    for (int y = font_->ascent + 4; y + font_->descent < height_; y += lineHeight) {
      std::string line(2 * (random() % 8), ' ');
      const std::size_t columns = random() % (dense ? 230 : 110);
      while (line.size() < columns) {
        line += kWords[random() % std::size(kWords)];
        line += ' ';
      }
      XftDrawStringUtf8(draw_, &ink_, font_, 6, y, reinterpret_cast<const FcChar8*>(line.data()),
                        int(line.size()));
    }
    return copyToScreen(0, 0, width_, height_);
  }

  // Types `word` over the page at the start of line `line`, blanking the cells under it, and
  // returns the screen's luma and the word's rectangle.
  std::pair<std::vector<std::uint8_t>, ScreenRect> type(const std::string& word, int line) {
    XGlyphInfo extents{};
    XftTextExtentsUtf8(display_, font_, reinterpret_cast<const FcChar8*>(word.data()), int(word.size()), &extents);
    const int lineHeight = height_ / 75;
    const ScreenRect rect{6, 4 + line * lineHeight, extents.xOff, lineHeight};
    XftDrawRect(draw_, &paper_, rect.x, rect.y, rect.width, rect.height);
    XftDrawStringUtf8(draw_, &ink_, font_, rect.x, rect.y + font_->ascent,
                      reinterpret_cast<const FcChar8*>(word.data()), int(word.size()));
    return {copyToScreen(rect.x, rect.y, rect.width, rect.height), rect};
  }

  // Draws, or takes away, a 10x20 black caret.
  void caret(bool shown) {
    XSetForeground(display_, gc_, shown ? BlackPixel(display_, DefaultScreen(display_))
                                        : WhitePixel(display_, DefaultScreen(display_)));
    XFillRectangle(display_, window_, gc_, width_ / 3, height_ / 3, 10, 20);
    XSync(display_, False);
  }

 private:
  std::vector<std::uint8_t> copyToScreen(int x, int y, int width, int height) {
    XCopyArea(display_, page_, window_, gc_, x, y, width, height, x, y);
    XSync(display_, False);
    XImage* image = XGetImage(display_, window_, 0, 0, width_, height_, AllPlanes, ZPixmap);
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(image->data);
    image_.assign(pixels, pixels + std::size_t(image->bytes_per_line) * height_);
    imageStride_ = image->bytes_per_line;
    std::vector<std::uint8_t> luma(std::size_t(width_) * height_);
    std::vector<std::uint8_t> chroma(std::size_t((width_ + 1) / 2) * ((height_ + 1) / 2) * 2);
    const int half = (width_ + 1) / 2;
    libyuv::ARGBToI420(reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line, luma.data(),
                       width_, chroma.data(), half, chroma.data() + chroma.size() / 2, half, width_, height_);
    XDestroyImage(image);
    return luma;
  }

  Display* display_ = nullptr;
  Window window_ = 0;
  Pixmap page_ = 0;
  GC gc_ = nullptr;
  XftDraw* draw_ = nullptr;
  XftFont* font_ = nullptr;
  XftColor ink_{}, paper_{};
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint8_t> image_;
  int imageStride_ = 0;
};


// Luma PSNR of `area` of the decoded picture against the screen's luma.
inline double psnr(const Picture& picture, const std::vector<std::uint8_t>& luma, int width, int height, ScreenRect area) {
  if (picture.empty() || picture.width() != width || picture.height() != height) return 0;
  double squares = 0;
  for (int y = area.y; y < area.y + area.height; ++y) {
    const std::uint8_t* row = picture.plane(0) + std::size_t(y) * picture.stride(0);
    for (int x = area.x; x < area.x + area.width; ++x) {
      const double d = double(row[x]) - luma[std::size_t(y) * width + x];
      squares += d * d;
    }
  }
  const double mse = squares / (double(area.width) * area.height);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace quorin
