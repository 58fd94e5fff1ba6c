// Time from a change on a Wayland desktop to the decoded picture on the client, with the frames
// per second and the host's CPU, for the host capturing through the route it chooses there:
// wlr-screencopy on sway, mutter's remote desktop service on GNOME (named in the table by
// $QUORIN_BENCH_ROUTE). A full-screen wl_shm window repaints at the output's rate, paced by frame
// callbacks: random blocks everywhere, and the monotonic clock as a barcode in the top left
// corner, taken just before each commit. Run beside the compositor (WAYLAND_DISPLAY set, its services on
// the session bus): run_wayland_latency_bench.sh starts it all, run_mutter_latency_bench.sh the same
// on mutter.
// Usage: wayland_latency_bench [seconds [pid...]]: also reports the CPU the processes `pid`
// (the compositor, the portal, PipeWire) used while the host ran.

#include <poll.h>
#include <sys/mman.h>
#include <wayland-client.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "base/log.h"
#include "e2e/latency_bench.h"
#include "xdg-shell-client-protocol.h"

using namespace quorin;
using namespace quorin::latency;

namespace {

// The full-screen window and its painting thread. Construction connects and waits until the
// compositor has configured the window; the thread paints until destruction.
class WaylandScreenProbe {
 public:
  WaylandScreenProbe() {
    display_ = wl_display_connect(nullptr);
    if (!display_) return;
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &kRegistry, this);
    wl_display_roundtrip(display_);
    if (!compositor_ || !shm_ || !wmBase_) return;
    surface_ = wl_compositor_create_surface(compositor_);
    xdgSurface_ = xdg_wm_base_get_xdg_surface(wmBase_, surface_);
    xdg_surface_add_listener(xdgSurface_, &kXdgSurface, this);
    toplevel_ = xdg_surface_get_toplevel(xdgSurface_);
    xdg_toplevel_add_listener(toplevel_, &kToplevel, this);
    xdg_toplevel_set_fullscreen(toplevel_, nullptr);
    wl_surface_commit(surface_);
    // sway leaves the size to the client until the window is shown: show a small one first.
    if (!waitForSize() && (!makeBuffers(64, 64) || !show() || !waitForSize())) return;
    if (width_ < kBits * kCell || height_ < kRows * kCell || !makeBuffers(width_, height_)) return;
    ready_ = true;
    paint();
    thread_ = std::thread([this] { run(); });
  }

  ~WaylandScreenProbe() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    dropBuffers();
    if (toplevel_) xdg_toplevel_destroy(toplevel_);
    if (xdgSurface_) xdg_surface_destroy(xdgSurface_);
    if (surface_) wl_surface_destroy(surface_);
    if (wmBase_) xdg_wm_base_destroy(wmBase_);
    if (shm_) wl_shm_destroy(shm_);
    if (compositor_) wl_compositor_destroy(compositor_);
    if (registry_) wl_registry_destroy(registry_);
    if (display_) wl_display_disconnect(display_);
  }
  WaylandScreenProbe(const WaylandScreenProbe&) = delete;
  WaylandScreenProbe& operator=(const WaylandScreenProbe&) = delete;

  bool ready() const { return ready_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int framesCommitted() const { return committed_; }

 private:
  static constexpr int kBlock = 60;  // pixels per side of a random block

  struct Buffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    bool busy = false;
    WaylandScreenProbe* owner = nullptr;
  };

  // Waits for the next configure; whether it gave the window a size.
  bool waitForSize() {
    configured_ = false;
    while (!configured_ && wl_display_dispatch(display_) >= 0) {
    }
    return configured_ && width_ > 0 && height_ > 0;
  }

  bool show() {
    wl_surface_attach(surface_, buffers_[0].buffer, 0, 0);
    wl_surface_commit(surface_);
    return wl_display_flush(display_) >= 0;
  }

  void dropBuffers() {
    for (auto& b : buffers_) {
      if (b.buffer) wl_buffer_destroy(b.buffer);
      b = {};
    }
    if (pixels_) munmap(pixels_, poolBytes_);
    pixels_ = nullptr;
  }

  bool makeBuffers(int width, int height) {
    dropBuffers();
    const std::size_t bytes = std::size_t(width) * height * 4;
    poolBytes_ = bytes * buffers_.size();
    const int fd = memfd_create("quorin-wayland-probe", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(poolBytes_)) != 0) {
      if (fd >= 0) close(fd);
      return false;
    }
    void* mapped = mmap(nullptr, poolBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
      close(fd);
      return false;
    }
    pixels_ = mapped;
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, std::int32_t(poolBytes_));
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
      auto& b = buffers_[i];
      b.buffer = wl_shm_pool_create_buffer(pool, std::int32_t(i * bytes), width, height, width * 4,
                                           WL_SHM_FORMAT_XRGB8888);
      b.pixels = reinterpret_cast<std::uint32_t*>(static_cast<char*>(mapped) + i * bytes);
      b.owner = this;
      wl_buffer_add_listener(b.buffer, &kBufferListener, &b);
    }
    wl_shm_pool_destroy(pool);
    close(fd);
    return true;
  }

  // Fills a free buffer with new random blocks and the current time, and commits it with a
  // frame callback that paints the next one. When the compositor holds every buffer, the
  // next release paints instead: a commit without damage might never be answered.
  void paint() {
    Buffer* free = nullptr;
    for (auto& b : buffers_) {
      if (!b.busy) free = &b;
    }
    waitingForBuffer_ = !free;
    if (!free) return;
    for (int y = 0; y < height_; y += kBlock) {
      for (int x = 0; x < width_; x += kBlock) {
        const std::uint32_t colour = random_() & 0xFFFFFF;
        for (int row = y; row < std::min(y + kBlock, height_); ++row) {
          std::fill_n(free->pixels + std::size_t(row) * width_ + x, std::min(kBlock, width_ - x), colour);
        }
      }
    }
    const std::uint64_t time = nowMicros() & ((1ull << kBits) - 1);
    for (int row = 0; row < kRows * kCell; ++row) {
      for (int bit = 0; bit < kBits; ++bit) {
        const bool white = barcodeCellWhite(time, row / kCell, bit);
        std::fill_n(free->pixels + std::size_t(row) * width_ + bit * kCell, kCell, white ? 0xFFFFFF : 0);
      }
    }
    free->busy = true;
    wl_surface_attach(surface_, free->buffer, 0, 0);
    wl_surface_damage_buffer(surface_, 0, 0, width_, height_);
    ++committed_;
    wl_callback_add_listener(wl_surface_frame(surface_), &kFrameListener, this);
    wl_surface_commit(surface_);
    wl_display_flush(display_);
  }

  void run() {
    while (!stop_) {
      while (wl_display_prepare_read(display_) != 0) wl_display_dispatch_pending(display_);
      wl_display_flush(display_);
      pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
      if (poll(&fd, 1, 100) > 0) {
        if (wl_display_read_events(display_) < 0) return;
      } else {
        wl_display_cancel_read(display_);
      }
      if (wl_display_dispatch_pending(display_) < 0) return;
    }
  }

  static const wl_registry_listener kRegistry;
  static const xdg_wm_base_listener kWmBase;
  static const xdg_surface_listener kXdgSurface;
  static const xdg_toplevel_listener kToplevel;
  static const wl_buffer_listener kBufferListener;
  static const wl_callback_listener kFrameListener;

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  xdg_wm_base* wmBase_ = nullptr;
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
};

const wl_registry_listener WaylandScreenProbe::kRegistry = {
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
          auto* self = static_cast<WaylandScreenProbe*>(data);
          if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
            self->compositor_ = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
          } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
          } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
            self->wmBase_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(self->wmBase_, &kWmBase, self);
          }
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};
const xdg_wm_base_listener WaylandScreenProbe::kWmBase = {
    .ping = [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); },
};
const xdg_surface_listener WaylandScreenProbe::kXdgSurface = {
    .configure =
        [](void* data, xdg_surface* surface, std::uint32_t serial) {
          xdg_surface_ack_configure(surface, serial);
          static_cast<WaylandScreenProbe*>(data)->configured_ = true;
        },
};
// Keeps the size until the probe paints; the buffers are made for it.
const xdg_toplevel_listener WaylandScreenProbe::kToplevel = {
    .configure =
        [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
          auto* self = static_cast<WaylandScreenProbe*>(data);
          if (width > 0 && height > 0 && !self->ready_) self->width_ = width, self->height_ = height;
        },
    .close = [](void*, xdg_toplevel*) {},
    .configure_bounds = [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
    .wm_capabilities = [](void*, xdg_toplevel*, wl_array*) {},
};
const wl_buffer_listener WaylandScreenProbe::kBufferListener = {
    .release =
        [](void* data, wl_buffer*) {
          auto* buffer = static_cast<Buffer*>(data);
          buffer->busy = false;
          if (buffer->owner->waitingForBuffer_) buffer->owner->paint();
        },
};
const wl_callback_listener WaylandScreenProbe::kFrameListener = {
    .done =
        [](void* data, wl_callback* callback, std::uint32_t) {
          wl_callback_destroy(callback);
          static_cast<WaylandScreenProbe*>(data)->paint();
        },
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  setLogSink([](const std::string&) {});
  WaylandScreenProbe probe;
  if (!probe.ready()) {
    std::fprintf(stderr, "wayland_latency_bench needs a Wayland compositor on $WAYLAND_DISPLAY with an output "
                         "at least %d pixels wide (run_wayland_latency_bench.sh)\n", kBits * kCell);
    return 1;
  }
  const std::string size = std::to_string(probe.width()) + "x" + std::to_string(probe.height());
  std::vector<pid_t> stack;
  for (int i = 2; i < argc; ++i) stack.push_back(std::stoi(argv[i]));
  const auto stackCpu = [&] {
    double total = 0;
    for (pid_t pid : stack) total += cpuSeconds(pid);
    return total;
  };
  const int committedBefore = probe.framesCommitted();
  const double stackBefore = stackCpu();
  const auto start = Clock::now();
  const char* route = std::getenv("QUORIN_BENCH_ROUTE");
  Result host = measureHost(std::string("quorin-remote-host, ") + (route ? route : "wlroots screencopy"), seconds,
                            {"QUORIN_BACKEND=wayland"});
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  printResults(size, {host});
  std::printf("(the probe committed %.1f frames/s; the desktop stack used %.2f cores)\n",
              (probe.framesCommitted() - committedBefore) / elapsed, (stackCpu() - stackBefore) / elapsed);
  return 0;
}
