#include "wayland/wayland_screen_probe.h"

#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/wayland/wayland_output.h"
#include "e2e/probe_clock.h"
#include "xdg-shell-client-protocol.h"

namespace quorin {

using namespace latency;

namespace {
constexpr int kBlock = 60;  // pixels per side of a random block
}  // namespace

struct WaylandScreenProbe::Listeners {
  static const wl_registry_listener registry;
  static const xdg_wm_base_listener wmBase;
  static const xdg_surface_listener xdgSurface;
  static const xdg_toplevel_listener toplevel;
  static const wl_buffer_listener buffer;
  static const wl_callback_listener frame;
};

WaylandScreenProbe::WaylandScreenProbe() : WaylandScreenProbe(Options{}) {}

WaylandScreenProbe::WaylandScreenProbe(Options options) {
  display_ = wl_display_connect(options.display);
  if (!display_) return;
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &Listeners::registry, this);
  wl_display_roundtrip(display_);
  if (!compositor_ || !shm_ || !wmBase_) return;
  wl_output* output = nullptr;
  if (!options.output.empty() && !(output = findOutput(options.output))) return;
  surface_ = wl_compositor_create_surface(compositor_);
  xdgSurface_ = xdg_wm_base_get_xdg_surface(wmBase_, surface_);
  xdg_surface_add_listener(xdgSurface_, &Listeners::xdgSurface, this);
  toplevel_ = xdg_surface_get_toplevel(xdgSurface_);
  xdg_toplevel_add_listener(toplevel_, &Listeners::toplevel, this);
  if (!options.title.empty()) xdg_toplevel_set_title(toplevel_, options.title.c_str());
  xdg_toplevel_set_fullscreen(toplevel_, output);
  wl_surface_commit(surface_);
  // sway leaves the size to the client until the window is shown: show a small one first.
  if (!waitForSize() && (!makeBuffers(64, 64) || !show() || !waitForSize())) return;
  if (width_ < kBits * kCell || height_ < kRows * kCell || !makeBuffers(width_, height_)) return;
  ready_ = true;
  paint();
  thread_ = std::thread([this] { run(); });
  if (clockid_t clock; pthread_getcpuclockid(thread_.native_handle(), &clock) == 0) paintingClock_ = clock;
}

WaylandScreenProbe::~WaylandScreenProbe() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  dropBuffers();
  if (toplevel_) xdg_toplevel_destroy(toplevel_);
  if (xdgSurface_) xdg_surface_destroy(xdgSurface_);
  if (surface_) wl_surface_destroy(surface_);
  if (wmBase_) xdg_wm_base_destroy(wmBase_);
  outputs_.clear();
  if (shm_) wl_shm_destroy(shm_);
  if (compositor_) wl_compositor_destroy(compositor_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
}

double WaylandScreenProbe::paintingCpuSeconds() const {
  timespec used{};
  if (!paintingClock_ || clock_gettime(*paintingClock_, &used) != 0) return 0;
  return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

wl_output* WaylandScreenProbe::findOutput(const std::string& name) {
  wl_display_roundtrip(display_);  // the outputs' names follow their binding
  const auto found = std::ranges::find(outputs_, name, [](const auto& output) { return output->name; });
  return found == outputs_.end() ? nullptr : (*found)->output.get();
}

// Waits for the next configure; whether it gave the window a size.
bool WaylandScreenProbe::waitForSize() {
  configured_ = false;
  while (!configured_ && wl_display_dispatch(display_) >= 0) {
  }
  return configured_ && width_ > 0 && height_ > 0;
}

bool WaylandScreenProbe::show() {
  wl_surface_attach(surface_, buffers_[0].buffer, 0, 0);
  wl_surface_commit(surface_);
  return wl_display_flush(display_) >= 0;
}

void WaylandScreenProbe::dropBuffers() {
  for (auto& b : buffers_) {
    if (b.buffer) wl_buffer_destroy(b.buffer);
    b = {};
  }
  if (pixels_) munmap(pixels_, poolBytes_);
  pixels_ = nullptr;
}

bool WaylandScreenProbe::makeBuffers(int width, int height) {
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
    wl_buffer_add_listener(b.buffer, &Listeners::buffer, &b);
  }
  wl_shm_pool_destroy(pool);
  close(fd);
  return true;
}

// Fills a free buffer with new random blocks and the current time, and commits it with a
// frame callback that paints the next one. When the compositor holds every buffer, the
// next release paints instead: a commit without damage might never be answered.
void WaylandScreenProbe::paint() {
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
  wl_callback_add_listener(wl_surface_frame(surface_), &Listeners::frame, this);
  wl_surface_commit(surface_);
  wl_display_flush(display_);
}

void WaylandScreenProbe::run() {
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

const wl_registry_listener WaylandScreenProbe::Listeners::registry = {
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
          auto* self = static_cast<WaylandScreenProbe*>(data);
          if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
            self->compositor_ = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
          } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
          } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
            self->wmBase_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(self->wmBase_, &wmBase, self);
          } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
            self->outputs_.push_back(std::make_unique<WaylandOutput>());
            self->outputs_.back()->bind(registry, name, version);
          }
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};
const xdg_wm_base_listener WaylandScreenProbe::Listeners::wmBase = {
    .ping = [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); },
};
const xdg_surface_listener WaylandScreenProbe::Listeners::xdgSurface = {
    .configure =
        [](void* data, xdg_surface* surface, std::uint32_t serial) {
          xdg_surface_ack_configure(surface, serial);
          static_cast<WaylandScreenProbe*>(data)->configured_ = true;
        },
};
// Keeps the size until the probe paints; the buffers are made for it.
const xdg_toplevel_listener WaylandScreenProbe::Listeners::toplevel = {
    .configure =
        [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
          auto* self = static_cast<WaylandScreenProbe*>(data);
          if (width > 0 && height > 0 && !self->ready_) self->width_ = width, self->height_ = height;
        },
    .close = [](void*, xdg_toplevel*) {},
    .configure_bounds = [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
    .wm_capabilities = [](void*, xdg_toplevel*, wl_array*) {},
};
const wl_buffer_listener WaylandScreenProbe::Listeners::buffer = {
    .release =
        [](void* data, wl_buffer*) {
          auto* buffer = static_cast<Buffer*>(data);
          buffer->busy = false;
          if (buffer->owner->waitingForBuffer_) buffer->owner->paint();
        },
};
const wl_callback_listener WaylandScreenProbe::Listeners::frame = {
    .done =
        [](void* data, wl_callback* callback, std::uint32_t) {
          wl_callback_destroy(callback);
          static_cast<WaylandScreenProbe*>(data)->paint();
        },
};

}  // namespace quorin
