// Draws a full-screen animation for the video benchmark: a pre-rendered "desktop" (gradient
// background, windows with rows of text-like glyphs) scrolling upwards, like a long page being
// scrolled. Every frame changes every pixel row, so capture and encoder see full-screen motion.
// Pictures go through MIT-SHM so that the animator itself costs little CPU.
//
// Usage: screen_animator [fps] [seconds]   (defaults 60 and forever; stops on SIGTERM/SIGINT)
// On exit it prints how many pictures it drew, since a loaded machine may not keep up.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "e2e/x11/screen_cover.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) { stopRequested = true; }

// Fills `height` rows of a `width`-wide BGRA picture; rows [height, 2*height) repeat them so
// that any window of `height` rows can be shown without wrapping.
void paintDesktop(std::uint32_t* pixels, int width, int height) {
  std::mt19937 random(7);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t r = 40 + (x * 60) / width;
      const std::uint32_t g = 60 + (y * 80) / height;
      const std::uint32_t b = 120 + ((x + y) * 50) / (width + height);
      pixels[y * width + x] = (r << 16) | (g << 8) | b;
    }
  }
  for (int window = 0; window < 40; ++window) {
    // Never wider or taller than the screen: a small screen gets windows that fill it.
    const int w = std::min(width, 200 + int(random() % 700));
    const int h = std::min(height, 120 + int(random() % 500));
    const int left = int(random() % unsigned(width - w + 1));
    const int top = int(random() % unsigned(height - h + 1));
    const std::uint32_t paper = 0xE0E0E0 + (random() % 0x1F) * 0x010101;
    for (int y = top; y < top + h; ++y) {
      for (int x = left; x < left + w; ++x) pixels[y * width + x] = y < top + 24 ? 0x3050A0 : paper;
    }
    // Lines of "text": dark glyph-sized marks with word gaps.
    for (int line = top + 34; line + 12 < top + h; line += 18) {
      int x = left + 8;
      while (x + 8 < left + w - 8) {
        const int glyph = 4 + int(random() % 6);
        if (random() % 6 == 0) {
          x += glyph + 3;
          continue;
        }
        const std::uint32_t ink = random() % 9 == 0 ? 0xB02020 : 0x202020;
        for (int y = line; y < line + 10; ++y) {
          for (int gx = x; gx < x + glyph && gx < left + w - 8; ++gx) {
            if (((gx ^ y) & 3) != 0) pixels[y * width + gx] = ink;
          }
        }
        x += glyph + 2;
      }
    }
  }
  std::memcpy(pixels + std::size_t(width) * height, pixels, std::size_t(width) * height * 4);
}

}  // namespace

int main(int argc, char** argv) {
  const int fps = argc > 1 ? std::atoi(argv[1]) : 60;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 0;
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);

  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "screen_animator: cannot open the X display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  const auto [window, width, height] = quorin::coverScreen(display, BlackPixel(display, screen));
  GC gc = XCreateGC(display, window, 0, nullptr);

  XShmSegmentInfo shm{};
  XImage* image = XShmCreateImage(display, DefaultVisual(display, screen),
                                  DefaultDepth(display, screen), ZPixmap, nullptr, &shm, width,
                                  height * 2);
  shm.shmid = shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * image->height,
                     IPC_CREAT | 0600);
  shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
  shm.readOnly = True;
  XShmAttach(display, &shm);
  XSync(display, False);
  shmctl(shm.shmid, IPC_RMID, nullptr);
  paintDesktop(reinterpret_cast<std::uint32_t*>(image->data), width, height);

  const auto interval = std::chrono::nanoseconds(1'000'000'000) / fps;
  const auto begin = std::chrono::steady_clock::now();
  auto next = begin;
  long frame = 0;
  for (; !stopRequested; ++frame) {
    if (seconds > 0 && std::chrono::steady_clock::now() - begin > std::chrono::duration<double>(seconds)) break;
    const int offset = int((frame * 6) % height);
    XShmPutImage(display, window, gc, image, 0, offset, 0, 0, width, height, False);
    XSync(display, False);
    next += interval;
    std::this_thread::sleep_until(next);
  }

  const double drawn = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::fprintf(stderr, "screen_animator: %ld pictures in %.2f s\n", frame, drawn);

  XShmDetach(display, &shm);
  XDestroyImage(image);
  shmdt(shm.shmaddr);
  XFreeGC(display, gc);
  XCloseDisplay(display);
  return 0;
}
