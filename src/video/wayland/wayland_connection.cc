#include "video/wayland/wayland_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/log.h"

namespace quorin::wayland {

WaylandConnection::~WaylandConnection() = default;

bool WaylandConnection::open(const std::string& displayName, CaptureError& error,
                             const std::atomic<bool>* cancelled) {
  display_.reset(wl_display_connect(displayName.empty() ? nullptr : displayName.c_str()));
  if (!display_) {
    error = compositorUnreachableError();
    return false;
  }
  registry_.reset(wl_display_get_registry(display_.get()));
  wl_registry_add_listener(registry_.get(), &registryListener, this);
  // The globals, then what each output says about itself.
  for (int i = 0; i < 2; ++i) {
    if (!roundtrip(Clock::now() + kSetupTimeout, cancelled)) {
      error = lost() ? compositorLostError() : compositorSilentError();
      return false;
    }
  }
  return true;
}

bool WaylandConnection::offers(std::string_view interface) const {
  return std::ranges::find(interfaces_, interface) != interfaces_.end();
}

std::vector<const WaylandOutput*> WaylandConnection::outputs() const {
  std::vector<const WaylandOutput*> named;
  for (const auto& output : outputs_) {
    if (!output->name.empty()) named.push_back(output.get());
  }
  return named;
}

std::vector<Monitor> WaylandConnection::monitors() const {
  std::vector<Monitor> monitors;
  for (const WaylandOutput* output : outputs()) monitors.push_back({output->name, output->rect(), monitors.empty()});
  return monitors;
}

bool WaylandConnection::dispatch(Clock::time_point deadline, int wakeFd) {
  wl_display* d = display_.get();
  if (lost()) return false;
  // Events already read come first; the caller looks at them before waiting again.
  if (wl_display_prepare_read(d) != 0) return wl_display_dispatch_pending(d) >= 0 || fail();
  const int flushed = wl_display_flush(d);
  if (flushed < 0 && errno != EAGAIN) {
    wl_display_cancel_read(d);
    return fail();
  }
  using std::chrono::milliseconds;
  const auto wait =
      std::max<milliseconds::rep>(0, std::chrono::ceil<milliseconds>(deadline - Clock::now()).count());
  pollfd fds[] = {{wl_display_get_fd(d), short(POLLIN | (flushed < 0 ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
  const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, int(std::min<milliseconds::rep>(wait, 60'000)));
  if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
    if (wl_display_read_events(d) < 0) return fail();
  } else {
    wl_display_cancel_read(d);
  }
  return wl_display_dispatch_pending(d) >= 0 || fail();
}

bool WaylandConnection::roundtrip(Clock::time_point deadline, const std::atomic<bool>* cancelled) {
  if (lost()) return false;
  if (roundtripWithin(display_.get(), std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                      cancelled)) {
    return true;
  }
  if (wl_display_get_error(display_.get()) != 0) fail();  // logs the loss once
  return false;
}

bool WaylandConnection::fail() {
  if (!lost_) logLine("the Wayland connection to the compositor failed: " + std::string(std::strerror(errno)));
  lost_ = true;
  return false;
}

const wl_registry_listener WaylandConnection::registryListener = {
    .global = [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
      auto& c = *static_cast<WaylandConnection*>(data);
      c.interfaces_.emplace_back(interface);
      if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
        c.xdgOutputManager_.reset(static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3U))));
        for (const auto& output : c.outputs_) output->watch(c.xdgOutputManager_.get());
      } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto& output = *c.outputs_.emplace_back(std::make_unique<WaylandOutput>());
        output.changed = &c.outputsChanged_;
        output.bind(registry, name, version);
        output.watch(c.xdgOutputManager_.get());
      } else {
        c.bindGlobal(registry, name, interface, version);
      }
    },
    .global_remove = [](void* data, wl_registry*, std::uint32_t name) {
      auto& c = *static_cast<WaylandConnection*>(data);
      if (std::erase_if(c.outputs_, [name](const auto& output) { return output->global == name; })) {
        c.outputsChanged_ = true;
      }
    },
};

}  // namespace quorin::wayland
