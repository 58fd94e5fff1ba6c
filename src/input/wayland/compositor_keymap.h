#pragma once
// The keymap a Wayland compositor gives its keyboards, as far as which key of its first layout
// types a keysym, and with which modifiers. mutter types a keysym only through such a key, so
// the others are known to be dropped; KWin's fake input takes keys, not keysyms, so text is
// typed through them. The compositor's seat may have a keyboard only once some keyboard
// joined it (a remote desktop session's does on its first key), so the keymap is asked for
// again until one came. One thread (the input thread).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

struct wl_display;
struct xkb_keymap;

namespace quorin {

class CompositorKeymap {
 public:
  // The compositor at `display` ($WAYLAND_DISPLAY when empty); each ask waits at most `limit`.
  CompositorKeymap(std::string display, std::chrono::milliseconds limit);
  // The compositor of a connection of the caller's, which must outlive this; its events are
  // read while asking, on the caller's thread. A compositor that checks each new client (KWin
  // looks up its desktop file) answers one it knows sooner.
  CompositorKeymap(wl_display* display, std::chrono::milliseconds limit);
  ~CompositorKeymap();
  CompositorKeymap(const CompositorKeymap&) = delete;
  CompositorKeymap& operator=(const CompositorKeymap&) = delete;

  // A key of the keymap and the modifiers that make it type a keysym.
  struct Stroke {
    std::uint32_t key = 0;  // evdev code
    bool shift = false;
    bool levelThree = false;  // AltGr, through levelThreeKey()
  };

  // Whether the keymap is known; asks the compositor for it when not yet.
  bool known() { return known_ || ask(); }
  // Whether a key of the keymap types `keysym`; nothing while the keymap is not known.
  std::optional<bool> types(std::uint32_t keysym);
  // The key that types `keysym` with the fewest modifiers; nothing when none does or the
  // keymap is not known.
  std::optional<Stroke> strokeFor(std::uint32_t keysym);
  // The evdev code of the key that selects the third level (AltGr), when there is one.
  std::optional<std::uint32_t> levelThreeKey() const { return levelThreeKey_; }

 private:
  bool ask();  // true once the keymap is known
  void read(xkb_keymap* keymap);

  struct Wayland;  // the connection, its seat and keyboard
  const std::string display_;
  wl_display* const borrowed_ = nullptr;
  const std::chrono::milliseconds limit_;
  std::unique_ptr<Wayland> wayland_;
  bool known_ = false;
  std::unordered_map<std::uint32_t, Stroke> strokes_;  // by keysym
  std::optional<std::uint32_t> levelThreeKey_;
};

}  // namespace quorin
