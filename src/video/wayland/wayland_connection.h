#pragma once
// A connection to a Wayland compositor with its globals and its outputs as they come, change
// and go. Subclasses bind the globals of their protocol (screencopy, KWin's screen cast) as
// the compositor announces them. Every wait has a deadline. One thread at a time.

#include <wayland-client.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/wayland/wayland_output.h"
#include "base/wayland_client.h"
#include "video/capture_error.h"

namespace quorin::wayland {

class WaylandConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // How long set-up waits for each answer of the compositor.
  static constexpr auto kSetupTimeout = std::chrono::seconds(2);

  WaylandConnection() = default;
  // A subclass's objects go first, before the display they belong to.
  virtual ~WaylandConnection();
  WaylandConnection(const WaylandConnection&) = delete;
  WaylandConnection& operator=(const WaylandConnection&) = delete;

  // Connects (`displayName` as wl_display_connect takes it; empty means $WAYLAND_DISPLAY), and
  // reads the globals and what each output says about itself; gives up soon after
  // `cancelled` (optional) is set.
  bool open(const std::string& displayName, CaptureError& error, const std::atomic<bool>* cancelled = nullptr);

  wl_display* display() const { return display_.get(); }
  // Every global interface the compositor announced.
  const std::vector<std::string>& interfaces() const { return interfaces_; }
  bool offers(std::string_view interface) const;

  // The named outputs, in the order the compositor announced them.
  std::vector<const WaylandOutput*> outputs() const;
  // The same as monitors in layout pixels, the first announced marked primary.
  std::vector<Monitor> monitors() const;
  // Whether outputs came, went or changed since the last call.
  bool takeOutputsChanged() { return std::exchange(outputsChanged_, false); }

  // Sends what is queued, then reads and handles what the compositor sent, waiting for it
  // until `deadline` at most, or until `wakeFd` is readable. False once the connection failed.
  bool dispatch(Clock::time_point deadline, int wakeFd = -1);

  // Waits until the compositor has handled every request sent so far; false when it failed
  // or `deadline` passed first.
  bool roundtrip(Clock::time_point deadline, const std::atomic<bool>* cancelled = nullptr);

  bool lost() const { return lost_ || wl_display_get_error(display_.get()) != 0; }

 protected:
  // Binds the global `interface` when the subclass wants it. Called while the compositor
  // announces its globals.
  virtual void bindGlobal(wl_registry* registry, std::uint32_t name, std::string_view interface,
                          std::uint32_t version) = 0;

 private:
  struct Destroy {
    void operator()(wl_registry* registry) const { wl_registry_destroy(registry); }
    void operator()(zxdg_output_manager_v1* manager) const { zxdg_output_manager_v1_destroy(manager); }
  };

  bool fail();

  static const wl_registry_listener registryListener;

  DisplayPtr display_;  // first: destroyed last
  std::unique_ptr<wl_registry, Destroy> registry_;
  std::unique_ptr<zxdg_output_manager_v1, Destroy> xdgOutputManager_;
  std::vector<std::unique_ptr<WaylandOutput>> outputs_;
  std::vector<std::string> interfaces_;  // every global announced
  bool outputsChanged_ = true;
  bool lost_ = false;
};

}  // namespace quorin::wayland
