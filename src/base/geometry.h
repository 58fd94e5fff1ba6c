#pragma once
// Plain screen geometry in root-window pixels.

namespace quorin {

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ScreenRect&) const = default;
};

}  // namespace quorin
