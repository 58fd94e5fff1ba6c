#pragma once
// Where the tray panel opens, in screen pixels.

#include <optional>

#include "base/geometry.h"

namespace quorin {

struct PixelPoint {
  int x = 0;
  int y = 0;
  bool operator==(const PixelPoint&) const = default;
};

inline constexpr int kPanelGap = 4;  // between the tray icon and the panel

// The panel's top-left corner: centred on the tray icon, below it when the icon is in the
// upper half of the screen and above it otherwise, then moved inside `available` (the screen
// without its panels). Without an icon position: the top-right corner of `available`.
PixelPoint panelOrigin(std::optional<ScreenRect> icon, int width, int height, ScreenRect available);

}  // namespace quorin
