#pragma once
// A connection to a wlroots compositor with the globals screencopy needs (wl_shm, the
// screencopy manager) and its outputs as they come, change and go. The screencopy stream
// keeps one for its pictures; the wlroots desktop opens one to list the outputs and to ask
// what the compositor offers. One thread at a time.

#include "video/wayland/wayland_connection.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace quorin::wayland {

class ScreencopyConnection final : public WaylandConnection {
 public:
  wl_shm* shm() const { return shm_.get(); }
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_.get(); }
  std::uint32_t screencopyVersion() const { return screencopyVersion_; }

 private:
  // Deleters of their own: the protocols' destroy functions are static, and a type of this
  // header must not name them.
  struct Destroy {
    void operator()(wl_shm* shm) const { wl_shm_destroy(shm); }
    void operator()(zwlr_screencopy_manager_v1* manager) const { zwlr_screencopy_manager_v1_destroy(manager); }
  };

  void bindGlobal(wl_registry* registry, std::uint32_t name, std::string_view interface,
                  std::uint32_t version) override;

  std::unique_ptr<wl_shm, Destroy> shm_;
  std::unique_ptr<zwlr_screencopy_manager_v1, Destroy> screencopy_;
  std::uint32_t screencopyVersion_ = 0;
};

}  // namespace quorin::wayland
