#include "input/wayland/wlr_event_sink.h"

#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/wayland/wayland_output.h"
#include "base/wayland_client.h"
#include "input/wayland/virtual_keymap.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace quorin::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// How long the input thread waits for a compositor that reads or answers nothing.
constexpr int kFlushTimeoutMs = 2000;
// How long the compositor may take to tell its globals and outputs.
constexpr std::chrono::milliseconds kSetupTimeout{2000};
// One wheel click, as libinput reports a mouse wheel.
constexpr double kWheelClick = 15.0;

using SeatPtr = Proxy<wl_seat, wl_seat_destroy>;
using PointerManagerPtr = Proxy<zwlr_virtual_pointer_manager_v1, zwlr_virtual_pointer_manager_v1_destroy>;
using PointerPtr = Proxy<zwlr_virtual_pointer_v1, zwlr_virtual_pointer_v1_destroy>;
using KeyboardManagerPtr = Proxy<zwp_virtual_keyboard_manager_v1, zwp_virtual_keyboard_manager_v1_destroy>;
using KeyboardPtr = Proxy<zwp_virtual_keyboard_v1, zwp_virtual_keyboard_v1_destroy>;

std::uint32_t now() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}

// The globals the sink binds, gathered from the registry.
struct Globals {
  SeatPtr seat;
  PointerManagerPtr pointerManager;
  KeyboardManagerPtr keyboardManager;
  XdgOutputManagerPtr outputManager;
  std::vector<std::unique_ptr<WaylandOutput>> outputs;  // in the order the compositor announced them

  static const wl_registry_listener listener;
};

const wl_registry_listener Globals::listener = {
    .global = [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
      auto& g = *static_cast<Globals*>(data);
      const auto bind = [&](const wl_interface* wanted, std::uint32_t most) {
        return wl_registry_bind(registry, name, wanted, std::min(version, most));
      };
      if (std::strcmp(interface, wl_seat_interface.name) == 0 && !g.seat) {
        g.seat.reset(static_cast<wl_seat*>(bind(&wl_seat_interface, 1)));
      } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        g.pointerManager.reset(static_cast<zwlr_virtual_pointer_manager_v1*>(
            bind(&zwlr_virtual_pointer_manager_v1_interface, 1)));
      } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        g.keyboardManager.reset(static_cast<zwp_virtual_keyboard_manager_v1*>(
            bind(&zwp_virtual_keyboard_manager_v1_interface, 1)));
      } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
        g.outputManager.reset(static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3)));
        for (const auto& output : g.outputs) output->watch(g.outputManager.get());
      } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto& output = *g.outputs.emplace_back(std::make_unique<WaylandOutput>());
        output.bind(registry, name, version);
        output.watch(g.outputManager.get());
      }
    },
    .global_remove = [](void* data, wl_registry*, std::uint32_t name) {
      auto& outputs = static_cast<Globals*>(data)->outputs;
      std::erase_if(outputs, [name](const auto& output) { return output->global == name; });
    },
};

class WlrEventSink final : public EventSink {
 public:
  WlrEventSink(DisplayPtr display, RegistryPtr registry, std::unique_ptr<Globals> globals)
      : display_(std::move(display)), registry_(std::move(registry)), globals_(std::move(globals)) {}

  ~WlrEventSink() override {
    releaseAll();
    pointer_.reset();
    keyboard_.reset();
    // The compositor drops what it has not read yet from a connection that closes.
    if (usable()) sync();
  }

  WlrEventSink(const WlrEventSink&) = delete;
  WlrEventSink& operator=(const WlrEventSink&) = delete;

  // Creates the devices and waits until the compositor has taken them in.
  bool createDevices() {
    pointer_.reset(zwlr_virtual_pointer_manager_v1_create_virtual_pointer(globals_->pointerManager.get(),
                                                                          globals_->seat.get()));
    keyboard_.reset(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(globals_->keyboardManager.get(),
                                                                            globals_->seat.get()));
    uploadKeymap();
    return sync();
  }

  bool failed() const override { return broken_; }

  std::optional<ScreenRect> screenFrame() override {
    readEvents();
    for (const auto& output : globals_->outputs) {
      if (const ScreenRect rect = output->rect(); rect.width > 0 && rect.height > 0) return rect;
    }
    return std::nullopt;
  }

  void movePointer(int x, int y) override {
    if (!usable()) return;
    // Absolute motion spans the box around every output.
    const ScreenRect box = layoutBox();
    const auto along = [](int at, int origin, int extent) {
      return static_cast<std::uint32_t>(std::clamp(at - origin, 0, std::max(0, extent - 1)));
    };
    zwlr_virtual_pointer_v1_motion_absolute(pointer_.get(), now(), along(x, box.x, box.width),
                                            along(y, box.y, box.height), static_cast<std::uint32_t>(box.width),
                                            static_cast<std::uint32_t>(box.height));
    zwlr_virtual_pointer_v1_frame(pointer_.get());
    flush();
  }

  void setButton(MouseButton button, bool down) override {
    if (!usable()) return;
    switch (button) {
      case MouseButton::left:
      case MouseButton::right: {
        const std::uint32_t code = button == MouseButton::left ? BTN_LEFT : BTN_RIGHT;
        const bool held = std::find(held_.begin(), held_.end(), code) != held_.end();
        if (down == held) return;  // the compositor would count a second press twice
        if (down) {
          held_.push_back(code);
        } else {
          std::erase(held_, code);
        }
        sendButton(code, down);
        break;
      }
      case MouseButton::wheelUp:
      case MouseButton::wheelDown:
      case MouseButton::wheelLeft:
      case MouseButton::wheelRight: {
        if (!down) return;  // a wheel click is whole when it goes down
        const bool vertical = button == MouseButton::wheelUp || button == MouseButton::wheelDown;
        const int steps = button == MouseButton::wheelUp || button == MouseButton::wheelLeft ? -1 : 1;
        const std::uint32_t axis = vertical ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
        zwlr_virtual_pointer_v1_axis_source(pointer_.get(), WL_POINTER_AXIS_SOURCE_WHEEL);
        zwlr_virtual_pointer_v1_axis_discrete(pointer_.get(), now(), axis, wl_fixed_from_double(steps * kWheelClick),
                                              steps);
        zwlr_virtual_pointer_v1_frame(pointer_.get());
        flush();
        break;
      }
    }
  }

  void pressKey(SpecialKey key, const Modifiers& modifiers) override {
    if (usable()) tap(VirtualKeymap::keyFor(key), modifiers);
  }

  void typeText(std::u32string_view text, const Modifiers& modifiers) override {
    if (!usable()) return;
    // A key per scalar: a special key, or the keysym that a character key must carry.
    struct Stroke {
      std::uint32_t key = 0;
      xkb_keysym_t keysym = XKB_KEY_NoSymbol;
    };
    std::vector<Stroke> strokes;
    strokes.reserve(text.size());
    for (const char32_t c : text) {
      if (c == U'\n') {
        strokes.push_back({VirtualKeymap::keyFor(SpecialKey::returnKey)});
      } else if (c == U'\t') {
        strokes.push_back({VirtualKeymap::keyFor(SpecialKey::tab)});
      } else if (const xkb_keysym_t keysym = xkb_utf32_to_keysym(c); keysym != XKB_KEY_NoSymbol) {
        strokes.push_back({0, keysym});
      }
    }
    // Runs of strokes whose keysyms fit in the layout at once, each typed after the layout
    // that holds them is uploaded; the compositor hands a new layout to the focused client
    // before any key that follows it.
    std::vector<xkb_keysym_t> run;
    for (std::size_t start = 0, end = 0; start < strokes.size() && usable(); start = end) {
      run.clear();
      for (end = start; end < strokes.size(); ++end) {
        const xkb_keysym_t keysym = strokes[end].keysym;
        if (keysym == XKB_KEY_NoSymbol || std::find(run.begin(), run.end(), keysym) != run.end()) continue;
        if (run.size() == keymap_.capacity()) break;
        run.push_back(keysym);
      }
      if (keymap_.place(run)) uploadKeymap();
      for (std::size_t i = start; i < end; ++i) {
        if (const auto key = strokes[i].key ? strokes[i].key : keymap_.keyFor(strokes[i].keysym)) {
          tap(*key, modifiers);
        }
      }
    }
  }

  void finish() override {
    flush();
    readEvents();
  }

 private:
  // False once the connection failed; everything is then dropped.
  bool usable() {
    if (broken_) return false;
    if (const int error = wl_display_get_error(display_.get())) {
      broken_ = true;
      logLine("the Wayland connection for input failed: " + std::string(std::strerror(error)));
    }
    return !broken_;
  }

  ScreenRect layoutBox() const {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool any = false;
    for (const auto& output : globals_->outputs) {
      const ScreenRect r = output->rect();
      if (r.width <= 0 || r.height <= 0) continue;
      left = any ? std::min(left, r.x) : r.x;
      top = any ? std::min(top, r.y) : r.y;
      right = any ? std::max(right, r.x + r.width) : r.x + r.width;
      bottom = any ? std::max(bottom, r.y + r.height) : r.y + r.height;
      any = true;
    }
    if (!any) return {0, 0, 1920, 1080};
    return {left, top, right - left, bottom - top};
  }

  void sendButton(std::uint32_t code, bool down) {
    zwlr_virtual_pointer_v1_button(pointer_.get(), now(), code,
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer_.get());
    flush();
  }

  // One key press with the modifiers held around it alone, so a long text never leaves them
  // down for long, nor behind if the connection fails midway.
  // The compositor takes the modifier state from the sink, not from its modifier keys; stating
  // it before each key also clears any lock the compositor may have set on the keyboard.
  void tap(std::uint32_t key, const Modifiers& modifiers) {
    const std::array<bool, VirtualKeymap::kModifierCount> held = {
        modifiers.shift, modifiers.command || modifiers.control, modifiers.option};
    std::uint32_t mask = 0;
    for (std::size_t m = 0; m < held.size(); ++m) {
      if (!held[m]) continue;
      const auto modifier = static_cast<VirtualKeymap::Modifier>(m);
      sendKey(VirtualKeymap::keyFor(modifier), true);
      mask |= VirtualKeymap::maskOf(modifier);
    }
    zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), mask, 0, 0, 0);
    sendKey(key, true);
    sendKey(key, false);
    for (std::size_t m = held.size(); m-- > 0;) {
      if (held[m]) sendKey(VirtualKeymap::keyFor(static_cast<VirtualKeymap::Modifier>(m)), false);
    }
    if (mask) zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), 0, 0, 0, 0);
    flush();
  }

  void sendKey(std::uint32_t key, bool down) {
    zwp_virtual_keyboard_v1_key(keyboard_.get(), now(), key,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  }

  void uploadKeymap() {
    const std::string text = keymap_.text();
    const int fd = memfd_create("quorin-keymap", MFD_CLOEXEC);
    // The compositor reads the layout as a C string.
    if (fd < 0 || write(fd, text.c_str(), text.size() + 1) != static_cast<ssize_t>(text.size() + 1)) {
      logLine("cannot hand the keyboard layout to the compositor: " + std::string(std::strerror(errno)));
      if (fd >= 0) close(fd);
      return;
    }
    zwp_virtual_keyboard_v1_keymap(keyboard_.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(text.size() + 1));
    close(fd);  // the request carries a copy
    flush();
  }

  // Lets go of every button this sink holds down.
  void releaseAll() {
    if (!usable()) return;
    for (const std::uint32_t code : std::exchange(held_, {})) sendButton(code, false);
  }

  // Sends what is queued. This libwayland treats a full socket as fatal, so the sink sends
  // little at a time and waits here while the compositor catches up.
  void flush() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFlushTimeoutMs);
    while (!broken_ && wl_display_flush(display_.get()) < 0) {
      if (errno != EAGAIN || Clock::now() >= deadline) {
        broken_ = true;
        logLine("the compositor stopped taking input events: " + std::string(std::strerror(errno)));
        return;
      }
      pollfd writable{wl_display_get_fd(display_.get()), POLLOUT, 0};
      poll(&writable, 1, 100);
    }
  }

  // Waits until the compositor has handled every request sent so far, or a while at most.
  bool sync() {
    flush();
    return usable() && roundtripWithin(display_.get(), std::chrono::milliseconds(kFlushTimeoutMs));
  }

  // Takes in what the compositor said (outputs coming, going or changing), waiting at most
  // `timeoutMs` for it.
  void readEvents(int timeoutMs = 0) {
    if (!usable()) return;
    wl_display* display = display_.get();
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) > 0) {
      wl_display_read_events(display);
    } else {
      wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
  }

  DisplayPtr display_;
  RegistryPtr registry_;
  std::unique_ptr<Globals> globals_;
  PointerPtr pointer_;
  KeyboardPtr keyboard_;
  VirtualKeymap keymap_;
  std::vector<std::uint32_t> held_;  // buttons down
  bool broken_ = false;
};

}  // namespace

std::unique_ptr<EventSink> openWlrEventSink(const char* displayName) {
  DisplayPtr display(wl_display_connect(displayName));
  if (!display) return nullptr;
  RegistryPtr registry(wl_display_get_registry(display.get()));
  auto globals = std::make_unique<Globals>();
  wl_registry_add_listener(registry.get(), &Globals::listener, globals.get());
  // The globals, then what each output says about itself.
  if (!roundtripWithin(display.get(), kSetupTimeout) || !roundtripWithin(display.get(), kSetupTimeout)) {
    logLine("the Wayland compositor did not answer for input");
    return nullptr;
  }
  if (!globals->seat || !globals->pointerManager || !globals->keyboardManager) {
    logLine("the Wayland compositor offers no virtual pointer or keyboard");
    return nullptr;
  }
  auto sink = std::make_unique<WlrEventSink>(std::move(display), std::move(registry), std::move(globals));
  if (!sink->createDevices()) {
    logLine("the Wayland compositor refused a virtual pointer or keyboard");
    return nullptr;
  }
  return sink;
}

}  // namespace quorin::wayland
