#include "app/terminal_qr.h"

#include <qrencode.h>

#include <memory>

namespace quorin {
namespace {

constexpr int kQuietZone = 2;  // modules of light border on each side

struct QrFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

std::optional<std::string> renderTerminalQr(std::string_view text) {
  const std::string input(text);
  std::unique_ptr<QRcode, QrFree> code(
      QRcode_encodeString8bit(input.c_str(), 0, QR_ECLEVEL_M));
  if (!code) return std::nullopt;

  const int width = code->width;
  // Light modules are drawn, dark ones are the black background: a module is dark when
  // bit 0 of its byte is set. Everything outside the symbol is quiet (light).
  auto dark = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= width || y >= width) return false;
    return (code->data[y * width + x] & 1) != 0;
  };
  std::string out;
  for (int y = -kQuietZone; y < width + kQuietZone; y += 2) {
    out += "\x1b[97;40m";
    for (int x = -kQuietZone; x < width + kQuietZone; ++x) {
      const bool topLight = !dark(x, y);
      const bool bottomLight = y + 1 < width + kQuietZone && !dark(x, y + 1);
      if (topLight && bottomLight) out += "\u2588";
      else if (topLight) out += "\u2580";
      else if (bottomLight) out += "\u2584";
      else out += ' ';
    }
    out += "\x1b[0m\n";
  }
  return out;
}

}  // namespace quorin
