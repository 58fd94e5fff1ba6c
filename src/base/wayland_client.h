#pragma once
// Small helpers over wayland-client: owned proxies, and a round trip with a time limit
// (wl_display_roundtrip waits for as long as the compositor does not answer, and a hung
// compositor must not hang the host). Header only: users link wayland-client. Call on the
// thread that reads the display's events.

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

namespace quorin {

template <typename T, void (*Destroy)(T*)>
struct ProxyDeleter {
  void operator()(T* proxy) const { Destroy(proxy); }
};
// A Wayland object destroyed with its owner.
template <typename T, void (*Destroy)(T*)>
using Proxy = std::unique_ptr<T, ProxyDeleter<T, Destroy>>;

using DisplayPtr = Proxy<wl_display, wl_display_disconnect>;
using RegistryPtr = Proxy<wl_registry, wl_registry_destroy>;

// Waits until the compositor has handled every request sent so far, handling the events it
// sends meanwhile; false when the connection failed, `timeout` passed or `cancelled` (looked
// at every 100 ms, when given) was set first.
inline bool roundtripWithin(wl_display* display, std::chrono::milliseconds timeout,
                            const std::atomic<bool>* cancelled = nullptr) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  bool done = false;
  static const wl_callback_listener listener = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback* callback = wl_display_sync(display);
  if (!callback) return false;
  wl_callback_add_listener(callback, &listener, &done);
  while (!done && wl_display_get_error(display) == 0 && !(cancelled && *cancelled)) {
    if (wl_display_prepare_read(display) != 0) {
      wl_display_dispatch_pending(display);
      continue;
    }
    wl_display_flush(display);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    const int ready = left <= 0 ? 0 : poll(&readable, 1, int(cancelled ? std::min<long>(left, 100) : left));
    if (ready <= 0) {
      wl_display_cancel_read(display);
      if (ready == 0 && left > 0 && cancelled) continue;
      break;
    }
    wl_display_read_events(display);
    wl_display_dispatch_pending(display);
  }
  wl_callback_destroy(callback);
  return done;
}

}  // namespace quorin
