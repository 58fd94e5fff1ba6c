// How sharp a still screen of text arrives: pages of black monospaced text on white, painted
// here with Xft, streamed by the real host (QUORIN_HOST_BINARY) to an in-process decoder. For
// each new page: the luma PSNR of the latest decoded picture against the screen 0.1 s, 0.5 s
// and 1 s after the change, the bytes of the change's first frame and of everything after it,
// the frames sent, and the frames sent more than 1 s after the change.
// Needs DISPLAY (an Xvfb; run_text_quality_bench.sh starts one) and the host's port free.
// Usage: text_quality_bench [pages]

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <libyuv/convert.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/command_output.h"
#include "base/log.h"
#include "client/stream_client.h"
#include "fakes/child_process.h"
#include "identity/pairing_payload.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kAfterChange = 3s;  // how long each page is watched
constexpr std::chrono::milliseconds kCheckpoints[] = {100ms, 500ms, 1000ms};

// A window over the whole screen showing pages of code-like text, each drawn off screen and
// shown with one copy, so that the host never grabs half a page. The pointer is hidden over
// it: the screen's own picture (XGetImage) has no pointer either.
class TextScreen {
 public:
  TextScreen() {
    display_ = XOpenDisplay(nullptr);
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    width_ = DisplayWidth(display_, screen);
    height_ = DisplayHeight(display_, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(display_, screen);
    window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, width_, height_, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    const Pixmap blank = XCreatePixmap(display_, window_, 1, 1, 1);
    XColor black{};
    const Cursor none = XCreatePixmapCursor(display_, blank, blank, &black, &black, 0, 0);
    XDefineCursor(display_, window_, none);
    XFreePixmap(display_, blank);
    XMapRaised(display_, window_);
    XWarpPointer(display_, None, window_, 0, 0, 0, 0, width_ / 2, height_ / 2);
    page_ = XCreatePixmap(display_, window_, width_, height_, DefaultDepth(display_, screen));
    draw_ = XftDrawCreate(display_, page_, DefaultVisual(display_, screen), DefaultColormap(display_, screen));
    font_ = XftFontOpenName(display_, screen, "DejaVu Sans Mono:pixelsize=15:antialias=true");
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
    XFreePixmap(display_, page_);
    XCloseDisplay(display_);
  }

  bool ready() const { return font_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Shows page `number` (a different text for each) and returns the screen's luma, as the
  // host's converter computes it.
  std::vector<std::uint8_t> show(int number) {
    static const char* const kWords[] = {
        "return", "const", "auto", "std::vector<int>", "if", "else", "for", "while", "0x3F", "nullptr",
        "encoder_.encode(*image,", "pts);", "{", "}", "//", "frame", "picture", "->", "==", "&&", "size_t",
        "lock_guard", "mutex_;", "42", "width", "height", "stride", "(void)", "#include", "<chrono>", "Ω",
        "quorin::", "template", "typename", "T&", "int", "=", "+=", "i", "j", "k", "*", "bool", "true;"};
    std::mt19937 random(1234 + number);
    XftDrawRect(draw_, &paper_, 0, 0, width_, height_);
    const int lineHeight = font_->height;
    for (int y = font_->ascent + 4; y + font_->descent < height_; y += lineHeight) {
      std::string line(2 * (random() % 8), ' ');
      const std::size_t columns = random() % 110;
      while (line.size() < columns) {
        line += kWords[random() % std::size(kWords)];
        line += ' ';
      }
      XftDrawStringUtf8(draw_, &ink_, font_, 6, y, reinterpret_cast<const FcChar8*>(line.data()),
                        int(line.size()));
    }
    GC gc = XCreateGC(display_, window_, 0, nullptr);
    XCopyArea(display_, page_, window_, gc, 0, 0, width_, height_, 0, 0);
    XFreeGC(display_, gc);
    XSync(display_, False);

    XImage* image = XGetImage(display_, window_, 0, 0, width_, height_, AllPlanes, ZPixmap);
    std::vector<std::uint8_t> luma(std::size_t(width_) * height_);
    std::vector<std::uint8_t> chroma(std::size_t((width_ + 1) / 2) * ((height_ + 1) / 2) * 2);
    const int half = (width_ + 1) / 2;
    libyuv::ARGBToI420(reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line, luma.data(),
                       width_, chroma.data(), half, chroma.data() + chroma.size() / 2, half, width_, height_);
    XDestroyImage(image);
    return luma;
  }

 private:
  Display* display_ = nullptr;
  Window window_ = 0;
  Pixmap page_ = 0;
  XftDraw* draw_ = nullptr;
  XftFont* font_ = nullptr;
  XftColor ink_{}, paper_{};
  int width_ = 0;
  int height_ = 0;
};

double psnr(const Picture& picture, const std::vector<std::uint8_t>& luma, int width, int height) {
  if (picture.empty() || picture.width() != width || picture.height() != height) return 0;
  double squares = 0;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = picture.plane(0) + std::size_t(y) * picture.stride(0);
    for (int x = 0; x < width; ++x) {
      const double d = double(row[x]) - luma[std::size_t(y) * width + x];
      squares += d * d;
    }
  }
  const double mse = squares / (double(width) * height);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// What the client received: the frames with their arrival times, and the picture it shows.
struct Received {
  std::mutex mutex;
  std::vector<std::pair<Clock::time_point, std::size_t>> frames;  // arrival, bytes
  Picture shown;

  Picture shownNow() {
    std::lock_guard lock(mutex);
    return shown;
  }
};

int run(int pages) {
  TextScreen screen;
  if (!screen.ready()) {
    std::fprintf(stderr, "text_quality_bench needs DISPLAY and the font DejaVu Sans Mono\n");
    return 1;
  }
  screen.show(0);
  ChildProcess host({QUORIN_HOST_BINARY, "--headless"});
  if (!host.waitForLine("Advertising")) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.output().c_str());
    return 1;
  }
  const auto payload =
      PairingPayload::decode(commandOutput(std::string(QUORIN_HOST_BINARY) + " --pairing-text 2>/dev/null"));
  if (!payload) return 1;
  Received received;
  StreamClient client({.host = "127.0.0.1", .key = payload->key});
  client.onAccessUnit = [&](ByteView unit) {
    std::lock_guard lock(received.mutex);
    received.frames.emplace_back(Clock::now(), unit.size());
  };
  client.onPicture = [&](const DecodedFrame& frame) {
    std::lock_guard lock(received.mutex);
    received.shown = frame.picture;
  };
  client.start();
  std::this_thread::sleep_for(kAfterChange);  // the first picture and whatever follows it

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("| page, %dx%d, load %.2f | PSNR 0.1 s | 0.5 s | 1 s | first frame | after it | frames | after 1 s |\n",
              screen.width(), screen.height(), load[0]);
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (int page = 1; page <= pages; ++page) {
    {
      std::lock_guard lock(received.mutex);
      received.frames.clear();
    }
    const auto luma = screen.show(page);
    const auto changed = Clock::now();
    std::vector<Picture> shown;
    for (const auto checkpoint : kCheckpoints) {
      std::this_thread::sleep_until(changed + checkpoint);
      shown.push_back(received.shownNow());
    }
    std::this_thread::sleep_until(changed + kAfterChange);
    std::printf("| %d |", page);
    for (const Picture& picture : shown) {
      std::printf(" %.1f dB |", psnr(picture, luma, screen.width(), screen.height()));
    }
    std::lock_guard lock(received.mutex);
    std::size_t first = 0, rest = 0, late = 0;
    for (std::size_t i = 0; i < received.frames.size(); ++i) {
      const auto& [at, bytes] = received.frames[i];
      (i == 0 ? first : rest) += bytes;
      if (at > changed + kCheckpoints[2]) ++late;
    }
    std::printf(" %.1f KB | %.1f KB | %zu | %zu |\n", first / 1000.0, rest / 1000.0, received.frames.size(), late);
  }
  client.stop();
  return 0;
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) {
  quorin::setLogSink([](const std::string&) {});
  return quorin::run(argc > 1 ? std::max(1, std::atoi(argv[1])) : 4);
}
