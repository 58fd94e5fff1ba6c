#include "desktop/kde/kwin_event_sink.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <set>
#include <vector>

#include "base/log.h"
#include "desktop/kde/kwin_connection.h"
#include "input/wayland/compositor_keymap.h"
#include "input/wayland/virtual_keymap.h"

namespace quorin::kde {
namespace {

using wayland::VirtualKeymap;

// One wheel click, as libinput reports a mouse wheel.
constexpr double kWheelClick = 15.0;

std::string keysymName(std::uint32_t keysym) {
  char name[64];
  return xkb_keysym_get_name(keysym, name, sizeof name) > 0 ? name : std::to_string(keysym);
}

class KwinEventSink final : public EventSink {
 public:
  explicit KwinEventSink(std::unique_ptr<KwinConnection> connection)
      : connection_(std::move(connection)),
        keymap_(connection_->display(), std::chrono::milliseconds(1000)),
        input_(connection_->fakeInput()) {}

  ~KwinEventSink() override { finish(); }

  // Reads KWin's keymap ahead of the first text, off the input thread's way.
  void prepare() { keymap_.known(); }

  std::optional<ScreenRect> screenFrame() override { return shown_; }

  void movePointer(int x, int y) override {
    org_kde_kwin_fake_input_pointer_motion_absolute(input_, wl_fixed_from_int(x), wl_fixed_from_int(y));
    flush();
  }

  void setShownArea(const ScreenRect& monitor) override { shown_ = monitor; }

  void setButton(MouseButton button, bool down) override {
    const bool wheel = button != MouseButton::left && button != MouseButton::right;
    if (wheel) {
      if (!down) return;  // a wheel click is whole when it goes down
      const bool vertical = button == MouseButton::wheelUp || button == MouseButton::wheelDown;
      const int steps = button == MouseButton::wheelUp || button == MouseButton::wheelLeft ? -1 : 1;
      org_kde_kwin_fake_input_axis(input_, vertical ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                                   wl_fixed_from_double(steps * kWheelClick));
    } else {
      org_kde_kwin_fake_input_button(input_, button == MouseButton::left ? BTN_LEFT : BTN_RIGHT,
                                     down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    }
    flush();
  }

  void pressKey(SpecialKey key, const Modifiers& modifiers) override {
    tap(VirtualKeymap::keyFor(key), modifiers, {});
  }

  void typeText(std::u32string_view text, const Modifiers& modifiers) override {
    if (!keymap_.known()) {
      if (!reportedNoKeymap_) logLine("KWin has not given its keyboard layout; text is not typed until it does");
      reportedNoKeymap_ = true;
      return;
    }
    for (const char32_t c : text) {
      if (c == U'\n' || c == U'\t') {
        tap(VirtualKeymap::keyFor(c == U'\n' ? SpecialKey::returnKey : SpecialKey::tab), modifiers, {});
        continue;
      }
      const xkb_keysym_t keysym = xkb_utf32_to_keysym(c);
      if (keysym == XKB_KEY_NoSymbol) continue;
      const std::optional<CompositorKeymap::Stroke> stroke = keymap_.strokeFor(keysym);
      if (!stroke) {
        if (reported_.insert(keysym).second) {
          logLine("the desktop's keyboard layout has no key for " + keysymName(keysym) +
                  "; it is not typed (switch the layout to type it)");
        }
        continue;
      }
      tap(stroke->key, modifiers, *stroke);
    }
  }

  void finish() override {
    // A key is only held within one call; one still down here lost its release.
    for (auto key = held_.rbegin(); key != held_.rend(); ++key) sendKey(*key, false);
    held_.clear();
    flush();
  }

  bool failed() const override { return connection_->lost(); }

 private:
  // One key press with the modifiers held around it alone: the client's, and those the
  // layout needs for the character.
  void tap(std::uint32_t key, const Modifiers& modifiers, const CompositorKeymap::Stroke& level) {
    std::vector<std::uint32_t> mods;
    if (modifiers.shift || level.shift) mods.push_back(VirtualKeymap::keyFor(VirtualKeymap::kShift));
    if (modifiers.command || modifiers.control) mods.push_back(VirtualKeymap::keyFor(VirtualKeymap::kControl));
    if (modifiers.option) mods.push_back(VirtualKeymap::keyFor(VirtualKeymap::kAlt));
    if (level.levelThree) mods.push_back(*keymap_.levelThreeKey());
    for (const std::uint32_t mod : mods) sendKey(mod, true);
    sendKey(key, true);
    sendKey(key, false);
    for (auto mod = mods.rbegin(); mod != mods.rend(); ++mod) sendKey(*mod, false);
    flush();
  }

  void sendKey(std::uint32_t key, bool down) {
    org_kde_kwin_fake_input_keyboard_key(input_, key, down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                           : WL_KEYBOARD_KEY_STATE_RELEASED);
    if (down) {
      held_.push_back(key);
    } else {
      std::erase(held_, key);
    }
  }

  // Sends what is queued; nothing here waits for KWin.
  void flush() { connection_->dispatch(KwinConnection::Clock::now()); }

  std::unique_ptr<KwinConnection> connection_;
  CompositorKeymap keymap_;
  org_kde_kwin_fake_input* input_;
  std::optional<ScreenRect> shown_;
  std::vector<std::uint32_t> held_;  // keys down, in the order they went
  std::set<std::uint32_t> reported_;  // keysyms already logged as dropped
  bool reportedNoKeymap_ = false;
};

}  // namespace

std::unique_ptr<EventSink> openKwinEventSink(const std::string& display) {
  auto connection = std::make_unique<KwinConnection>();
  CaptureError error;
  if (!connection->open(display, error)) {
    logLine("no input on the KDE desktop: " + error.description);
    return nullptr;
  }
  // Absolute motion and keys came with version 4 of fake input, which KWin 5.27 has.
  if (!connection->fakeInput() || connection->fakeInputVersion() < 4) {
    logLine("no input on the KDE desktop: KWin does not grant its fake input to this program");
    return nullptr;
  }
  org_kde_kwin_fake_input_authenticate(connection->fakeInput(), "Quorin Remote Host",
                                       "Lets a paired phone or tablet control this computer");
  // Authenticated before the first event counts.
  if (!connection->roundtrip(KwinConnection::Clock::now() + KwinConnection::kSetupTimeout)) return nullptr;
  auto sink = std::make_unique<KwinEventSink>(std::move(connection));
  sink->prepare();
  return sink;
}

}  // namespace quorin::kde
