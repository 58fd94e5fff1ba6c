#pragma once
// A QR code drawn with Unicode half blocks (two modules per character cell), white on black
// with a quiet zone, so a phone can scan it off a terminal. Error correction level M.

#include <optional>
#include <string>
#include <string_view>

namespace quorin {

// The lines of the drawing, ending in newlines; nothing when the text cannot be encoded.
std::optional<std::string> renderTerminalQr(std::string_view text);

}  // namespace quorin
