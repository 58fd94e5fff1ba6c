#pragma once
// The keymap a Wayland compositor gives its keyboards, as far as which keysyms a key of its
// first layout types (at any level). mutter types a keysym only through such a key, so the others are
// known to be dropped. The compositor's seat has a keyboard only once some keyboard joined
// it (a remote desktop session's does on its first key), so the keymap is asked for again
// until one came. One thread (the input thread).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

namespace quorin {

class CompositorKeymap {
 public:
  // The compositor at `display` ($WAYLAND_DISPLAY when empty); each ask waits at most `limit`.
  CompositorKeymap(std::string display, std::chrono::milliseconds limit);
  ~CompositorKeymap();
  CompositorKeymap(const CompositorKeymap&) = delete;
  CompositorKeymap& operator=(const CompositorKeymap&) = delete;

  // Whether a key of the keymap types `keysym`; nothing while the keymap is not known.
  std::optional<bool> types(std::uint32_t keysym);

 private:
  bool ask();  // true once the keymap is known

  struct Wayland;  // the connection, its seat and keyboard
  const std::string display_;
  const std::chrono::milliseconds limit_;
  std::unique_ptr<Wayland> wayland_;
  bool known_ = false;
  std::unordered_set<std::uint32_t> keysyms_;
};

}  // namespace quorin
