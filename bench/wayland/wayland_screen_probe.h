#pragma once
// A full-screen wl_shm window that repaints at the compositor's pace, paced by frame callbacks,
// as a video or a scrolling page would: random blocks everywhere, and the monotonic clock as a
// barcode in the top left corner (e2e/probe_clock.h), taken just before each commit.
// Construction connects and waits until the compositor has configured the window; a thread of
// the probe's own then paints until destruction.

#include <wayland-client.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct xdg_wm_base;
struct xdg_surface;
struct xdg_toplevel;

namespace quorin {

struct WaylandOutput;

class WaylandScreenProbe {
 public:
  struct Options {
    const char* display = nullptr;  // $WAYLAND_DISPLAY when null
    std::string output{};           // the output to fill (Virtual-0); empty: the compositor's choice
    std::string title{};            // by which a window list finds the window; empty: none
  };

  WaylandScreenProbe();
  explicit WaylandScreenProbe(Options options);
  ~WaylandScreenProbe();
  WaylandScreenProbe(const WaylandScreenProbe&) = delete;
  WaylandScreenProbe& operator=(const WaylandScreenProbe&) = delete;

  // False when the compositor, the named output or a large enough window is missing.
  bool ready() const { return ready_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int framesCommitted() const { return committed_; }
  // CPU seconds the painting thread has used, to tell the probe's share of its process.
  double paintingCpuSeconds() const;

 private:
  struct Buffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    bool busy = false;
    WaylandScreenProbe* owner = nullptr;
  };
  struct Listeners;

  // The output named `name`, once the compositor has named its outputs; null when none is.
  wl_output* findOutput(const std::string& name);
  bool waitForSize();
  bool show();
  void dropBuffers();
  bool makeBuffers(int width, int height);
  void paint();
  void run();

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  xdg_wm_base* wmBase_ = nullptr;
  std::vector<std::unique_ptr<WaylandOutput>> outputs_;
  wl_surface* surface_ = nullptr;
  xdg_surface* xdgSurface_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  bool configured_ = false;
  bool waitingForBuffer_ = false;
  bool ready_ = false;
  int width_ = 0;
  int height_ = 0;
  std::array<Buffer, 3> buffers_;
  void* pixels_ = nullptr;
  std::size_t poolBytes_ = 0;
  std::minstd_rand random_{42};
  std::atomic<int> committed_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::optional<clockid_t> paintingClock_;  // the painting thread's CPU clock
};

}  // namespace quorin
