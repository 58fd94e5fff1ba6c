#pragma once
// Input through mutter's remote desktop session (see MutterRemoteDesktop): pointer motion in
// the recorded stream's pixels, buttons, wheel clicks and keysyms. mutter 43 types a keysym
// only through a key of its current layout and drops the others (an "é" on a US layout): each
// character dropped so is logged once. Input thread.

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "input/wayland/compositor_keymap.h"
#include "desktop/gnome/mutter_remote_desktop.h"
#include "input/wayland/remote_desktop_input.h"

namespace quorin {

class MutterInput final : public RemoteDesktopInput {
 public:
  // `waylandDisplay` names mutter's Wayland socket ($WAYLAND_DISPLAY when empty), which gives
  // its keymap.
  MutterInput(std::shared_ptr<MutterRemoteDesktop> remote, std::string waylandDisplay);
  ~MutterInput() override;

  bool pointerMotionAbsolute(double x, double y) override;
  bool pointerButton(int button, bool pressed) override;
  bool pointerAxisDiscrete(ScrollAxis axis, int steps) override;
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override;

 private:
  std::shared_ptr<MutterRemoteDesktop> remote_;
  std::unique_ptr<CompositorKeymap> keymap_;  // to know what mutter drops
  std::set<std::uint32_t> reported_;          // keysyms already logged as dropped
};

}  // namespace quorin
