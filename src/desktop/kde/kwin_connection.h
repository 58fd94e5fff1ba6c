#pragma once
// A connection to KWin with its outputs and, where KWin grants them to this program, its
// screen cast and fake input. KWin hides both from every client but one whose executable an
// installed desktop file names with them in X-KDE-Wayland-Interfaces; it decides once, as the
// client connects. One thread at a time (the capture thread for a cast, the input thread for
// fake input: each has a connection of its own).

#include <cstdint>
#include <memory>
#include <string_view>

#include "fake-input-client-protocol.h"
#include "video/wayland/wayland_connection.h"
#include "zkde-screencast-unstable-v1-client-protocol.h"

namespace quorin::kde {

inline constexpr std::string_view kScreencastInterface = "zkde_screencast_unstable_v1";
inline constexpr std::string_view kFakeInputInterface = "org_kde_kwin_fake_input";

class KwinConnection final : public wayland::WaylandConnection {
 public:
  // Bound only when KWin grants them.
  zkde_screencast_unstable_v1* screencast() const { return screencast_.get(); }
  org_kde_kwin_fake_input* fakeInput() const { return fakeInput_.get(); }
  std::uint32_t fakeInputVersion() const { return fakeInputVersion_; }

  // Whether the compositor is KWin, granted or not: it announces KDE's own globals (window
  // decorations, the Plasma shell) to every client.
  bool isKwin() const;

 private:
  struct Destroy {
    void operator()(zkde_screencast_unstable_v1* screencast) const { zkde_screencast_unstable_v1_destroy(screencast); }
    void operator()(org_kde_kwin_fake_input* input) const { org_kde_kwin_fake_input_destroy(input); }
  };

  void bindGlobal(wl_registry* registry, std::uint32_t name, std::string_view interface,
                  std::uint32_t version) override;

  std::unique_ptr<zkde_screencast_unstable_v1, Destroy> screencast_;
  std::unique_ptr<org_kde_kwin_fake_input, Destroy> fakeInput_;
  std::uint32_t fakeInputVersion_ = 0;
};

}  // namespace quorin::kde
