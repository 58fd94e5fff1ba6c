#include "input/input_injector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {
namespace {

using Kind = InputEvent::Kind;

// Used when the display cannot tell its shared screen.
constexpr ScreenRect kDefaultFrame{0, 0, 1920, 1080};

bool usable(const std::optional<double>& value) { return value && std::isfinite(*value); }

// Far outside any screen, yet safe to round into an int.
int toPixel(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kLimit = 1 << 24;
  return static_cast<int>(std::lround(std::clamp(value, -kLimit, kLimit)));
}

// A scroll amount as whole pixels: halves away from zero, within a signed 32-bit range;
// a missing or non-finite amount is no scroll.
std::int64_t scrollPixels(const std::optional<double>& amount) {
  if (!usable(amount)) return 0;
  const double limit = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int64_t>(std::clamp(std::round(*amount), -limit, limit));
}

// Adds `pixels` to what is pending on one axis and takes the whole wheel clicks out of it.
int takeWheelClicks(std::int64_t& pending, std::int64_t pixels) {
  // Scrolling back the other way starts afresh instead of first paying off the remainder.
  if ((pending < 0 && pixels > 0) || (pending > 0 && pixels < 0)) pending = 0;
  pending += pixels;
  std::int64_t clicks = pending / InputInjector::kScrollPixelsPerClick;
  pending -= clicks * InputInjector::kScrollPixelsPerClick;
  const std::int64_t most = InputInjector::kMaxWheelClicksPerEvent;
  if (clicks > most || clicks < -most) {
    clicks = std::clamp(clicks, -most, most);
    pending = 0;
  }
  return static_cast<int>(clicks);
}

// The Unicode scalars of UTF-8 text, with every line break (CR LF, CR, LF) as one LF. A byte
// that does not start a well-formed sequence (stray continuation, overlong form, surrogate,
// beyond U+10FFFF) is skipped on its own.
std::u32string unicodeScalars(std::string_view text) {
  std::u32string scalars;
  bool afterReturn = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      length = 1, value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07, least = 0x10000;
    } else {
      ++i;
      continue;
    }
    bool wellFormed = i + length <= text.size();
    for (int k = 1; wellFormed && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      wellFormed = (next & 0xC0) == 0x80;
      value = (value << 6) | (next & 0x3F);
    }
    wellFormed = wellFormed && value >= least && value <= 0x10FFFF &&
                 (value < 0xD800 || value > 0xDFFF);
    if (!wellFormed) {
      ++i;
      continue;
    }
    if (value != U'\n' || !afterReturn) scalars.push_back(value == U'\r' ? U'\n' : value);
    afterReturn = value == U'\r';
    i += length;
  }
  return scalars;
}

Modifiers hostModifiers(const std::optional<std::vector<std::string>>& names) {
  Modifiers modifiers = parseModifiers(names);
  modifiers.control = modifiers.control || modifiers.command;
  modifiers.command = false;
  return modifiers;
}

}  // namespace

InputInjector::InputInjector(std::unique_ptr<EventSink> sink) : sink_(std::move(sink)) {}

void InputInjector::handle(const InputEvent& event) {
  if (!sink_) return;
  switch (event.kind) {
    case Kind::mouseMove:
      moveTo(event);
      break;
    case Kind::mouseDown:
    case Kind::mouseUp:
      moveTo(event);
      setButton(MouseButton::left, event.kind == Kind::mouseDown);
      break;
    case Kind::leftClick:
      moveTo(event);
      postClick(MouseButton::left, 1);
      break;
    case Kind::rightClick:
      moveTo(event);
      postClick(MouseButton::right, 1);
      break;
    case Kind::doubleClick:
      // X clients tell a double click by timing, which back-to-back clicks satisfy.
      moveTo(event);
      postClick(MouseButton::left, 2);
      break;
    case Kind::scroll:
      scroll(event);
      break;
    case Kind::keyText:
      typeText(event);
      break;
    case Kind::keySpecial:
      pressSpecialKey(event);
      break;
  }
  sink_->finish();
}

void InputInjector::setGeometry(const DesktopGeometry& geometry) {
  geometry_ = geometry;
  if (sink_) sink_->setShownArea(geometry.monitor);
}

void InputInjector::releaseAll() {
  if (!sink_ || heldButtons_ == 0) return;
  for (unsigned button = 0; heldButtons_ != 0; ++button) {
    if (heldButtons_ & (1u << button)) setButton(static_cast<MouseButton>(button), false);
  }
  sink_->finish();
}

ScreenPoint InputInjector::screenPoint(const InputEvent& event) {
  DesktopGeometry geometry;
  if (geometry_) {
    geometry = *geometry_;
  } else {
    const ScreenRect frame = sink_->screenFrame().value_or(kDefaultFrame);
    geometry = {frame, {frame.width, frame.height}, {frame.width, frame.height}};
  }
  // A missing coordinate repeats the last position on that axis, measured on the current view.
  const auto [lastX, lastY] = geometry.toStream(lastMouse_.x, lastMouse_.y);
  const auto [x, y] = geometry.toDesktop(usable(event.x) ? *event.x : lastX, usable(event.y) ? *event.y : lastY);
  lastMouse_ = {x, y};
  return lastMouse_;
}

void InputInjector::moveTo(const InputEvent& event) {
  const ScreenPoint point = screenPoint(event);
  sink_->movePointer(toPixel(point.x), toPixel(point.y));
}

void InputInjector::setButton(MouseButton button, bool down) {
  const unsigned bit = 1u << static_cast<unsigned>(button);
  heldButtons_ = down ? heldButtons_ | bit : heldButtons_ & ~bit;
  sink_->setButton(button, down);
}

void InputInjector::postClick(MouseButton button, int count) {
  for (int i = 0; i < count; ++i) {
    setButton(button, true);
    setButton(button, false);
  }
}

void InputInjector::scroll(const InputEvent& event) {
  // A positive dy scrolls up and a positive dx scrolls left.
  const int up = takeWheelClicks(pendingScrollY_, scrollPixels(event.dy));
  const int left = takeWheelClicks(pendingScrollX_, scrollPixels(event.dx));
  postClick(up >= 0 ? MouseButton::wheelUp : MouseButton::wheelDown, std::abs(up));
  postClick(left >= 0 ? MouseButton::wheelLeft : MouseButton::wheelRight, std::abs(left));
}

void InputInjector::typeText(const InputEvent& event) {
  if (!event.text) return;
  const std::u32string text = unicodeScalars(*event.text);
  if (!text.empty()) sink_->typeText(text, hostModifiers(event.modifiers));
}

void InputInjector::pressSpecialKey(const InputEvent& event) {
  if (!event.specialKey) return;
  if (const std::optional<SpecialKey> key = specialKeyFromString(*event.specialKey)) {
    sink_->pressKey(*key, hostModifiers(event.modifiers));
  }
}

}  // namespace quorin
