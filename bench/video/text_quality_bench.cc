// How sharp, and how cheap, a screen of text arrives: black monospaced text on white, painted
// here with Xft, streamed by the real host (QUORIN_HOST_BINARY) to an in-process decoder.
// Modes:
//   pages [n]  n pages of code-like text. For each: the luma PSNR of the latest decoded
//              picture against the screen 0.1 s, 0.5 s and 1 s after the change, the bytes of
//              the change's first frame and of everything after it, the frames sent, and the
//              frames sent more than 1 s after the change.
//   dense [n]  the same for pages of small text, up to 230 columns by 75 lines.
//   typed [n]  a dense page, then a word typed into it n times: the PSNR of the word's area
//              0.1, 0.5 and 1 s after it appeared, against the settled page's.
//   caret [s]  a white screen with a 10x20 caret blinking twice a second for s seconds: the
//              host's CPU (cores) and the pictures per second it sent.
// Needs DISPLAY (an Xvfb; run_text_quality_bench.sh starts one) and the host's port free.
// Usage: text_quality_bench [mode] [count]

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>
#include <libyuv/convert.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <tuple>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/command_output.h"
#include "base/geometry.h"
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
  // `pixelSize` 15 for the pages of code, 14 for the dense ones (11 point at 96 dpi).
  explicit TextScreen(int pixelSize) {
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
};

// Luma PSNR of `area` of the decoded picture against the screen's luma.
double psnr(const Picture& picture, const std::vector<std::uint8_t>& luma, int width, int height, ScreenRect area) {
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

// What the client received: the frames with their arrival times, and the picture it shows.
struct Received {
  std::mutex mutex;
  std::vector<std::pair<Clock::time_point, std::size_t>> frames;  // arrival, bytes
  Picture shown;

  Picture shownNow() {
    std::lock_guard lock(mutex);
    return shown;
  }
  void clear() {
    std::lock_guard lock(mutex);
    frames.clear();
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return frames.size();
  }
};

// User and system CPU seconds of a process so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The real host and a client of it, connected.
class Session {
 public:
  bool start() {
    if (!host_.waitForLine("Advertising")) {
      std::fprintf(stderr, "the host did not start:\n%s\n", host_.output().c_str());
      return false;
    }
    const auto payload =
        PairingPayload::decode(commandOutput(std::string(QUORIN_HOST_BINARY) + " --pairing-text 2>/dev/null"));
    if (!payload) return false;
    client_.emplace(StreamClient::Options{.host = "127.0.0.1", .key = payload->key});
    client_->onAccessUnit = [this](ByteView unit) {
      std::lock_guard lock(received.mutex);
      received.frames.emplace_back(Clock::now(), unit.size());
    };
    client_->onPicture = [this](const DecodedFrame& frame) {
      std::lock_guard lock(received.mutex);
      received.shown = frame.picture;
    };
    client_->start();
    std::this_thread::sleep_for(kAfterChange);  // the first picture and whatever follows it
    return true;
  }
  ~Session() {
    if (client_) client_->stop();
  }
  pid_t hostPid() const { return host_.pid(); }

  Received received;

 private:
  ChildProcess host_{{QUORIN_HOST_BINARY, "--headless"}};
  std::optional<StreamClient> client_;
};

double load() {
  double averages[3] = {0, 0, 0};
  getloadavg(averages, 3);
  return averages[0];
}

// Pages of text: each watched for kAfterChange.
int runPages(int pages, bool dense) {
  TextScreen screen(dense ? 14 : 15);
  if (!screen.ready()) return 1;
  screen.show(0, dense);
  Session session;
  if (!session.start()) return 1;
  Received& received = session.received;
  const ScreenRect all{0, 0, screen.width(), screen.height()};
  std::printf("| %s page, %dx%d, load %.2f | PSNR 0.1 s | 0.5 s | 1 s | first frame | after it | frames | after 1 s |\n",
              dense ? "dense" : "code", screen.width(), screen.height(), load());
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (int page = 1; page <= pages; ++page) {
    received.clear();
    const auto luma = screen.show(page, dense);
    const auto changed = Clock::now();
    std::vector<Picture> shown;
    for (const auto checkpoint : kCheckpoints) {
      std::this_thread::sleep_until(changed + checkpoint);
      shown.push_back(received.shownNow());
    }
    std::this_thread::sleep_until(changed + kAfterChange);
    std::printf("| %d |", page);
    for (const Picture& picture : shown) {
      std::printf(" %.1f dB |", psnr(picture, luma, screen.width(), screen.height(), all));
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
  return 0;
}

// A dense page, then words typed into it, each watched for kAfterChange.
int runTyped(int words) {
  TextScreen screen(14);
  if (!screen.ready()) return 1;
  auto luma = screen.show(1, true);
  Session session;
  if (!session.start()) return 1;
  Received& received = session.received;
  const ScreenRect all{0, 0, screen.width(), screen.height()};
  const double page = psnr(received.shownNow(), luma, screen.width(), screen.height(), all);
  std::printf("| word typed into a dense page (%.1f dB settled), %dx%d, load %.2f | word PSNR 0.1 s | 0.5 s | 1 s | "
              "page at 1 s | frames | after 1 s |\n",
              page, screen.width(), screen.height(), load());
  std::printf("|---|---|---|---|---|---|---|\n");
  for (int word = 1; word <= words; ++word) {
    received.clear();
    ScreenRect area;
    std::tie(luma, area) = screen.type("refinement_" + std::to_string(word), 10 + 7 * word);
    const auto changed = Clock::now();
    std::printf("| %d |", word);
    Picture last;
    for (const auto checkpoint : kCheckpoints) {
      std::this_thread::sleep_until(changed + checkpoint);
      last = received.shownNow();
      std::printf(" %.1f dB |", psnr(last, luma, screen.width(), screen.height(), area));
    }
    std::printf(" %.1f dB |", psnr(last, luma, screen.width(), screen.height(), all));
    std::this_thread::sleep_until(changed + kAfterChange);
    std::lock_guard lock(received.mutex);
    const auto late = std::count_if(received.frames.begin(), received.frames.end(),
                                    [&](const auto& frame) { return frame.first > changed + kCheckpoints[2]; });
    std::printf(" %zu | %td |\n", received.frames.size(), late);
  }
  return 0;
}

// A caret blinking twice a second on a white screen.
int runCaret(int seconds) {
  TextScreen screen(15);
  if (!screen.ready()) return 1;
  std::vector<std::uint8_t> luma = screen.show(0, false);
  screen.caret(false);
  Session session;
  if (!session.start()) return 1;
  session.received.clear();
  const double cpuBefore = cpuSeconds(session.hostPid());
  const auto start = Clock::now();
  for (int toggle = 0; toggle < 2 * seconds; ++toggle) {
    screen.caret(toggle % 2 == 0);
    std::this_thread::sleep_until(start + (toggle + 1) * 500ms);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cores = (cpuSeconds(session.hostPid()) - cpuBefore) / wall;
  std::printf("| caret 10x20, 2 toggles/s, %dx%d, %d s, load %.2f | host cores | pictures/s |\n|---|---|---|\n",
              screen.width(), screen.height(), seconds, load());
  std::printf("| | %.3f | %.1f |\n", cores, double(session.received.count()) / wall);
  return 0;
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) {
  quorin::setLogSink([](const std::string&) {});
  const std::string mode = argc > 1 ? argv[1] : "pages";
  const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 0;
  if (mode == "pages" || mode == "dense") return quorin::runPages(count ? count : 4, mode == "dense");
  if (mode == "typed") return quorin::runTyped(count ? count : 4);
  if (mode == "caret") return quorin::runCaret(count ? count : 10);
  std::fprintf(stderr, "usage: text_quality_bench [pages|dense|typed|caret] [count]\n");
  return 2;
}
