#pragma once
// The keysym of each special key, shared by every sink: X11 and xkbcommon number keysyms
// alike, so one table serves XTest, the virtual keyboard's layout and remote desktop sessions.

#include <cstdint>

#include "protocol/control_messages.h"

namespace quorin {

std::uint32_t specialKeyKeysym(SpecialKey key);

}  // namespace quorin
