#include "input/x11/xtest_event_sink.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/x11/connection_cut.h"
#include "base/x11/first_monitor.h"
#include "base/x11/round_trip_watch.h"
#include "base/x11/x_display.h"
#include "input/special_key_keysym.h"

namespace quorin::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// How long after the last key event the keymap may change. A client translates a keycode with
// the keymap it fetches when it reads the event, not the one in force when the key went down,
// and Xlib forgets a mapping notice that arrives while it is fetching; so changing the keymap
// right after a key loses characters in any client that is a little behind. Only paid by
// events that type keysyms missing from the keymap.
constexpr auto kKeymapSettle = std::chrono::milliseconds(50);

struct XFreeDeleter {
  void operator()(void* data) const { XFree(data); }
};
struct ModifierMapDeleter {
  void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};

// The modifier keys in the order they go down, and the keysyms that act as each.
enum ModifierIndex : std::size_t { kCommand, kShift, kControl, kOption };
const std::array<std::initializer_list<KeySym>, 4> kModifierSyms = {{
    {XK_Super_L, XK_Super_R},
    {XK_Shift_L, XK_Shift_R},
    {XK_Control_L, XK_Control_R},
    {XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R},
}};

std::array<bool, 4> byIndex(const Modifiers& modifiers) {
  return {modifiers.command, modifiers.shift, modifiers.control, modifiers.option};
}

unsigned buttonNumber(MouseButton button) {
  switch (button) {
    case MouseButton::left: return Button1;
    case MouseButton::right: return Button3;
    case MouseButton::wheelUp: return Button4;
    case MouseButton::wheelDown: return Button5;
    case MouseButton::wheelLeft: return 6;
    case MouseButton::wheelRight: return 7;
  }
  return Button1;
}

// The protocol carries pointer positions as 16-bit values.
int toWire(int coordinate) { return std::clamp(coordinate, -32768, 32767); }

struct KeyChoice {
  KeyCode code = 0;
  bool shift = false;  // the keysym sits on the key's Shift level
};

// What the sink needs from one snapshot of the core keyboard and modifier mappings.
struct Keymap {
  int symsPerKeycode = 1;
  // Keysyms reachable in the first group without a modifier, or with Shift when there is one.
  std::unordered_map<KeySym, KeyChoice> keys;
  std::array<std::optional<KeyCode>, 4> modifiers;  // by ModifierIndex
  // Keycodes with no keysym and no modifier role, free to lend to a missing character.
  std::vector<KeyCode> spare;

  std::optional<KeyChoice> find(KeySym sym) const {
    const auto found = keys.find(sym);
    if (sym == NoSymbol || found == keys.end()) return std::nullopt;
    return found->second;
  }
};

Keymap loadKeymap(Display* display) {
  Keymap map;
  int first = 0;
  int last = 0;
  XDisplayKeycodes(display, &first, &last);
  int per = 0;
  const std::unique_ptr<KeySym, XFreeDeleter> syms(
      XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &per));
  const std::unique_ptr<XModifierKeymap, ModifierMapDeleter> modifierMap(
      XGetModifierMapping(display));
  if (!syms || !modifierMap || per < 1) return map;
  map.symsPerKeycode = per;
  const auto symAt = [&](int code, int column) {
    return column < per ? syms.get()[(code - first) * per + column] : NoSymbol;
  };

  std::array<bool, 256> isModifier{};
  for (int i = 0; i < 8 * modifierMap->max_keypermod; ++i) {
    if (const KeyCode code = modifierMap->modifiermap[i]) isModifier[code] = true;
  }
  for (std::size_t m = 0; m < kModifierSyms.size(); ++m) {
    for (int code = first; code <= last && !map.modifiers[m]; ++code) {
      const auto& wanted = kModifierSyms[m];
      if (isModifier[code] && std::find(wanted.begin(), wanted.end(), symAt(code, 0)) != wanted.end()) {
        map.modifiers[m] = static_cast<KeyCode>(code);
      }
    }
  }

  // Plain levels first so a keysym that is on both kinds of level is typed without Shift.
  const bool canShift = map.modifiers[kShift].has_value();
  for (int column = 0; column < (canShift ? 2 : 1); ++column) {
    for (int code = first; code <= last; ++code) {
      if (const KeySym sym = symAt(code, column); sym != NoSymbol) {
        map.keys.try_emplace(sym, KeyChoice{static_cast<KeyCode>(code), column == 1});
      }
    }
  }
  for (int code = first; code <= last; ++code) {
    bool empty = !isModifier[code];
    for (int column = 0; empty && column < per; ++column) empty = symAt(code, column) == NoSymbol;
    if (empty) map.spare.push_back(static_cast<KeyCode>(code));
  }
  return map;
}

// One key to type: the keysym wanted, and another one that gives the same character.
struct WantedKey {
  KeySym sym = NoSymbol;
  KeySym alternative = NoSymbol;
};

// A keysym without an upper and lower case can share a lent keycode with another one, one on
// each level; a letter needs both levels, or it would be read as its lower case.
bool caseless(KeySym sym) {
  const auto s = static_cast<xkb_keysym_t>(sym);
  return xkb_keysym_to_lower(s) == s && xkb_keysym_to_upper(s) == s;
}

// Every call that may wait for the server (a reply, or a write into a full socket) runs under
// the watch's mark; once the watch or the canceller cut the connection off, the sink is inert.
class XTestEventSink final : public EventSink {
 public:
  XTestEventSink(DisplayPtr display, std::shared_ptr<ConnectionCut> cut)
      : display_(std::move(display)), cut_(std::move(cut)) {}
  ~XTestEventSink() override {
    const auto trip = watch_.begin();
    if (!failed()) giveBackBorrowedKeys();
    display_.reset();  // at once when cut off: Xlib waits for no reply on a lost connection
    cut_->forget();
  }

  XTestEventSink(const XTestEventSink&) = delete;
  XTestEventSink& operator=(const XTestEventSink&) = delete;

  bool failed() const override { return displayLost(display_.get()); }
  std::function<void()> canceller() override {
    return [cut = cut_] { cut->cut(); };
  }

  std::optional<ScreenRect> screenFrame() override {
    if (failed()) return std::nullopt;
    const auto trip = watch_.begin();
    std::optional<ScreenRect> frame = firstMonitor(display_.get());
    return failed() ? std::nullopt : frame;
  }

  void movePointer(int x, int y) override {
    if (failed()) return;
    const auto trip = watch_.begin();
    XTestFakeMotionEvent(display_.get(), DefaultScreen(display_.get()), toWire(x), toWire(y),
                         CurrentTime);
  }

  void setButton(MouseButton button, bool down) override {
    if (failed()) return;
    const auto trip = watch_.begin();
    XTestFakeButtonEvent(display_.get(), buttonNumber(button), down, CurrentTime);
  }

  void pressKey(SpecialKey key, const Modifiers& modifiers) override {
    typeKeys({{specialKeyKeysym(key), NoSymbol}}, modifiers);
  }

  void typeText(std::u32string_view text, const Modifiers& modifiers) override {
    std::vector<WantedKey> keys;
    keys.reserve(text.size());
    for (const char32_t c : text) {
      if (c == U'\n') {
        keys.push_back({XK_Return, NoSymbol});
      } else if (c == U'\t') {
        keys.push_back({XK_Tab, NoSymbol});
      } else if (const KeySym sym = xkb_utf32_to_keysym(c); sym != NoSymbol) {
        // A keymap may hold the character under its legacy keysym or its Unicode one.
        keys.push_back({sym, 0x01000000 | c});
      }
    }
    typeKeys(keys, modifiers);
  }

  void finish() override {
    mappingChecked_ = false;
    if (failed()) return;
    giveBackBorrowedKeys();
    const auto trip = watch_.begin();
    XFlush(display_.get());
    noteMappingChanges();
  }

 private:
  struct BorrowedKey {
    KeyCode code = 0;
    std::array<KeySym, 2> syms{};  // by level
  };

  // The keymap as the server has it, looked at once per client event.
  const Keymap& keymap() {
    if (!mappingChecked_) {
      noteMappingChanges();
      mappingChecked_ = true;
    }
    if (!keymap_) {
      const auto trip = watch_.begin();
      keymap_ = loadKeymap(display_.get());
    }
    return *keymap_;
  }

  // This connection selects no events, so whatever arrives announces a changed mapping.
  void noteMappingChanges() {
    const auto trip = watch_.begin();
    bool changed = false;
    while (XPending(display_.get()) > 0) {
      XEvent event;
      XNextEvent(display_.get(), &event);
      changed = true;
    }
    if (changed) keymap_.reset();
  }

  // Types `keys` in runs. The keysyms of a run that the keymap lacks are lent spare keycodes
  // all at once before its first key, so clients take in one keymap change per run. The keys
  // are chosen in the first group without Caps Lock, so they are typed under that state and
  // the user's group and Caps Lock are put back after them. Modifiers go down around each key,
  // never across the waits for a keymap change.
  void typeKeys(const std::vector<WantedKey>& keys, const Modifiers& modifiers) {
    if (failed()) return;
    const Keymap& map = keymap();
    const std::array<bool, 4> held = byIndex(modifiers);
    // Shift held by the event would turn the first keysym of a shared keycode into the second.
    const bool share = !held[kShift] && map.modifiers[kShift].has_value();
    std::optional<XkbStateRec> found;
    std::size_t start = 0;
    while (start < keys.size() && !failed()) {
      std::vector<KeySym> missing;
      std::size_t levels = 0;  // of the spare keycodes, two each
      std::size_t end = start;
      for (; end < keys.size(); ++end) {
        const WantedKey& key = keys[end];
        if (map.find(key.sym) || map.find(key.alternative)) continue;
        if (std::find(missing.begin(), missing.end(), key.sym) != missing.end()) continue;
        const std::size_t needed = share && caseless(key.sym) ? 1 : 2;
        if (levels + needed > 2 * map.spare.size()) break;
        levels += needed;
        missing.push_back(key.sym);
      }
      if (end == start) {  // no spare keycode at all: this key cannot be typed
        ++start;
        continue;
      }
      lend(missing, share);
      if (!found) found = neutralState();
      for (std::size_t i = start; i < end; ++i) {
        if (const auto choice = choiceFor(keys[i])) {
          holdModifiers(held, true);
          tap(*choice, held[kShift]);
          holdModifiers(held, false);
        }
      }
      start = end;
    }
    if (found) restoreState(*found);
  }

  std::optional<XkbStateRec> neutralState() {
    const auto trip = watch_.begin();
    XkbStateRec state{};
    if (XkbGetState(display_.get(), XkbUseCoreKbd, &state) != Success) return std::nullopt;
    if (state.locked_group != 0) XkbLockGroup(display_.get(), XkbUseCoreKbd, 0);
    if (state.locked_mods & LockMask) XkbLockModifiers(display_.get(), XkbUseCoreKbd, LockMask, 0);
    return state;
  }

  void restoreState(const XkbStateRec& state) {
    const auto trip = watch_.begin();
    if (state.locked_group != 0) XkbLockGroup(display_.get(), XkbUseCoreKbd, state.locked_group);
    if (state.locked_mods & LockMask) {
      XkbLockModifiers(display_.get(), XkbUseCoreKbd, LockMask, LockMask);
    }
  }

  std::optional<KeyChoice> choiceFor(const WantedKey& key) {
    const Keymap& map = keymap();
    if (auto choice = map.find(key.sym)) return choice;
    if (auto choice = map.find(key.alternative)) return choice;
    for (const BorrowedKey& lent : borrowed_) {
      if (lent.syms[0] == key.sym) return KeyChoice{lent.code, false};
      if (lent.syms[1] == key.sym) return KeyChoice{lent.code, true};
    }
    return std::nullopt;
  }

  void holdModifiers(const std::array<bool, 4>& held, bool down) {
    const Keymap& map = keymap();
    for (std::size_t k = 0; k < held.size(); ++k) {
      const std::size_t i = down ? k : held.size() - 1 - k;
      if (held[i] && map.modifiers[i]) sendKey(*map.modifiers[i], down);
    }
  }

  void tap(const KeyChoice& choice, bool shiftHeld) {
    const bool addShift = choice.shift && !shiftHeld;
    const KeyCode shift = keymap().modifiers[kShift].value_or(0);  // there when a level needs it
    if (addShift) sendKey(shift, true);
    sendKey(choice.code, true);
    sendKey(choice.code, false);
    if (addShift) sendKey(shift, false);
  }

  void sendKey(KeyCode code, bool down) {
    const auto trip = watch_.begin();
    XTestFakeKeyEvent(display_.get(), code, down, CurrentTime);
    lastKeyEvent_ = Clock::now();
  }

  // Lends spare keycodes to `syms`, which fit on them: caseless keysyms two to a keycode when
  // `share` allows, the others alone on both levels. Only keycodes whose keysyms change are
  // written, after one wait for clients, and the server has them all before the key events.
  void lend(const std::vector<KeySym>& syms, bool share) {
    std::vector<BorrowedKey> wanted;
    std::optional<std::size_t> halfFull;  // a keycode with a caseless keysym on one level
    for (const KeySym sym : syms) {
      const bool shared = share && caseless(sym);
      if (shared && halfFull) {
        wanted[*halfFull].syms[1] = sym;
        halfFull.reset();
        continue;
      }
      if (shared) halfFull = wanted.size();
      wanted.push_back({keymap().spare[wanted.size()], {sym, sym}});
    }
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if (i >= borrowed_.size() || borrowed_[i].syms != wanted[i].syms) changed.push_back(i);
    }
    if (changed.empty()) return;
    waitForClients();
    const int per = keymap().symsPerKeycode;
    const auto trip = watch_.begin();
    std::vector<KeySym> row(static_cast<std::size_t>(per), NoSymbol);
    for (const std::size_t i : changed) {
      if (i >= borrowed_.size()) borrowed_.push_back(wanted[i]);
      borrowed_[i].syms = wanted[i].syms;
      std::copy_n(wanted[i].syms.begin(), std::min(per, 2), row.begin());
      XChangeKeyboardMapping(display_.get(), wanted[i].code, per, row.data(), 1);
    }
    XSync(display_.get(), False);  // the server has the new mapping before the key events
  }

  // Borrowed keycodes were empty when lent, so emptying them restores the keymap found.
  void giveBackBorrowedKeys() {
    if (borrowed_.empty() || !keymap_) return;
    waitForClients();
    const auto trip = watch_.begin();
    std::vector<KeySym> empty(static_cast<std::size_t>(keymap_->symsPerKeycode), NoSymbol);
    for (const BorrowedKey& key : borrowed_) {
      XChangeKeyboardMapping(display_.get(), key.code, keymap_->symsPerKeycode, empty.data(), 1);
    }
    XSync(display_.get(), False);
    borrowed_.clear();
  }

  // Lets clients read the key events sent so far before the keymap changes under them.
  void waitForClients() {
    {
      const auto trip = watch_.begin();
      XFlush(display_.get());
    }
    std::this_thread::sleep_until(lastKeyEvent_ + kKeymapSettle);
  }

  DisplayPtr display_;
  std::shared_ptr<ConnectionCut> cut_;  // shared with the canceller, which may outlive the sink
  std::optional<Keymap> keymap_;
  bool mappingChecked_ = false;
  std::vector<BorrowedKey> borrowed_;
  Clock::time_point lastKeyEvent_;
  RoundTripWatch watch_{[cut = cut_] { cut->cut(); }};  // last: its thread stops first
};

}  // namespace

std::unique_ptr<EventSink> openXTestEventSink(const char* displayName, const std::atomic<bool>& cancelled) {
  DisplayPtr display = openDisplay(displayName, kOpenLimit, cancelled);
  if (!display) return nullptr;
  auto cut = std::make_shared<ConnectionCut>(display.get());
  RoundTripWatch watch([cut] { cut->cut(); });
  const auto trip = watch.begin();
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) return nullptr;
  // Another client's server grab (a menu, a window move) must not stall the input thread.
  XTestGrabControl(display.get(), True);
  if (displayLost(display.get())) return nullptr;
  return std::make_unique<XTestEventSink>(std::move(display), std::move(cut));
}

}  // namespace quorin::x11
