#include "app/panel_placement.h"

#include <algorithm>

namespace quorin {

PixelPoint panelOrigin(std::optional<ScreenRect> icon, int width, int height, ScreenRect available) {
  const int maxX = std::max(available.x, available.x + available.width - width);
  const int maxY = std::max(available.y, available.y + available.height - height);
  if (!icon || icon->width <= 0 || icon->height <= 0) return {maxX, available.y};
  const int iconCentreY = icon->y + icon->height / 2;
  const bool upperHalf = iconCentreY < available.y + available.height / 2;
  const int x = icon->x + icon->width / 2 - width / 2;
  const int y = upperHalf ? icon->y + icon->height + kPanelGap : icon->y - kPanelGap - height;
  return {std::clamp(x, available.x, maxX), std::clamp(y, available.y, maxY)};
}

}  // namespace quorin
