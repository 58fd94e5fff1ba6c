#include "desktop/gnome/mutter_input.h"

#include <xkbcommon/xkbcommon.h>

#include <string>

#include "base/log.h"

namespace quorin {
namespace {

std::string keysymName(std::uint32_t keysym) {
  char name[64];
  return xkb_keysym_get_name(keysym, name, sizeof name) > 0 ? name : std::to_string(keysym);
}

}  // namespace

MutterInput::MutterInput(std::shared_ptr<MutterRemoteDesktop> remote, std::string waylandDisplay)
    : remote_(std::move(remote)),
      keymap_(std::make_unique<CompositorKeymap>(std::move(waylandDisplay), std::chrono::milliseconds(500))) {}

MutterInput::~MutterInput() = default;

bool MutterInput::pointerMotionAbsolute(double x, double y) {
  return remote_->notifyOnStream("NotifyPointerMotionAbsolute", "dd", x, y);
}

bool MutterInput::pointerButton(int button, bool pressed) {
  return remote_->notify("NotifyPointerButton", "ib", button, static_cast<int>(pressed));
}

bool MutterInput::pointerAxisDiscrete(ScrollAxis axis, int steps) {
  return remote_->notify("NotifyPointerAxisDiscrete", "ui", static_cast<std::uint32_t>(axis), steps);
}

bool MutterInput::keyboardKeysym(std::uint32_t keysym, bool pressed) {
  const bool sent = remote_->notify("NotifyKeyboardKeysym", "ub", keysym, static_cast<int>(pressed));
  // Looked at after the key went, since the seat has a keyboard only once one was used.
  if (pressed && !reported_.contains(keysym) && keymap_->types(keysym) == false) {
    reported_.insert(keysym);
    logLine("the desktop's keyboard layout has no key for " + keysymName(keysym) +
            "; GNOME drops it (switch the layout to type it)");
  }
  return sent;
}

}  // namespace quorin
