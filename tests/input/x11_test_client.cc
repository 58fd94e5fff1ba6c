#include "input/x11_test_client.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <xkbcommon/xkbcommon.h>

#include "base/x11/first_monitor.h"

namespace quorin {
namespace {

using Type = ReceivedEvent::Type;

bool record(XEvent& event, ReceivedEvent& r) {
  r.arrival = std::chrono::steady_clock::now();
  switch (event.type) {
    case KeyPress:
    case KeyRelease: {
      r.type = event.type == KeyPress ? Type::keyPress : Type::keyRelease;
      r.state = event.xkey.state;
      KeySym keysym = NoSymbol;
      XLookupString(&event.xkey, nullptr, 0, &keysym, nullptr);  // keymap refreshed as Xlib does
      r.keysym = keysym;
      char utf8[8];
      const int size = xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), utf8, sizeof utf8);
      if (event.type == KeyPress && size > 1 && static_cast<unsigned char>(utf8[0]) >= 0x20) {
        r.text.assign(utf8, static_cast<std::size_t>(size - 1));  // size counts the final NUL
      }
      return true;
    }
    case ButtonPress:
    case ButtonRelease:
      r.type = event.type == ButtonPress ? Type::buttonPress : Type::buttonRelease;
      r.detail = event.xbutton.button;
      r.rootX = event.xbutton.x_root, r.rootY = event.xbutton.y_root;
      return true;
    case MotionNotify:
      r.rootX = event.xmotion.x_root, r.rootY = event.xmotion.y_root;
      return true;
    default:
      return false;
  }
}

}  // namespace

X11TestClient::X11TestClient(ScreenRect area) {
  thread_ = std::thread([this, area] { run(area); });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return started_; });
}

X11TestClient::~X11TestClient() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  thread_.join();
}

void X11TestClient::run(ScreenRect area) {
  Display* display = XOpenDisplay(nullptr);
  if (display) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager moves it
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    const Window window = XCreateWindow(
        display, DefaultRootWindow(display), area.x, area.y, static_cast<unsigned>(area.width),
        static_cast<unsigned>(area.height), 0, CopyFromParent, InputOutput, CopyFromParent,
        CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display, window);
    for (XEvent event{}; event.type != MapNotify;) XNextEvent(display, &event);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
  }
  {
    std::lock_guard lock(mutex_);
    started_ = true;
    ready_ = display != nullptr;
  }
  changed_.notify_all();
  while (display) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      ReceivedEvent received;
      if (!record(event, received)) continue;
      std::lock_guard lock(mutex_);
      received_.push_back(std::move(received));
      changed_.notify_all();
    }
    pollfd socket{ConnectionNumber(display), POLLIN, 0};
    poll(&socket, 1, 20);
    std::lock_guard lock(mutex_);
    if (stop_) break;
  }
  if (display) XCloseDisplay(display);
}

bool X11TestClient::waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& done,
                            std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(received_); });
}

std::vector<ReceivedEvent> X11TestClient::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(received_, {});
}

std::string X11TestClient::typedText(const std::vector<ReceivedEvent>& events) {
  std::string text;
  for (const ReceivedEvent& e : events) text += e.text;
  return text;
}

X11TestDisplay::X11TestDisplay() : display_(XOpenDisplay(nullptr)) {}

X11TestDisplay::~X11TestDisplay() {
  if (display_) XCloseDisplay(display_);
}

ScreenRect X11TestDisplay::sharedScreen() const {
  return display_ ? x11::firstMonitor(display_).value_or(ScreenRect{}) : ScreenRect{};
}

std::pair<int, int> X11TestDisplay::pointer() const {
  Window root, child;
  int x = 0, y = 0, windowX, windowY;
  unsigned mask;
  XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &windowX, &windowY, &mask);
  return {x, y};
}

std::vector<std::uint64_t> X11TestDisplay::keymap() const {
  int first = 0, last = 0, per = 0;
  XDisplayKeycodes(display_, &first, &last);
  KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(first), last - first + 1, &per);
  std::vector<std::uint64_t> flat(syms, syms + (last - first + 1) * per);
  XFree(syms);
  XModifierKeymap* modifiers = XGetModifierMapping(display_);
  flat.insert(flat.end(), modifiers->modifiermap,
              modifiers->modifiermap + 8 * modifiers->max_keypermod);
  XFreeModifiermap(modifiers);
  return flat;
}

std::pair<int, bool> X11TestDisplay::keyboardLock() const {
  XkbStateRec state{};
  XkbGetState(display_, XkbUseCoreKbd, &state);
  return {state.locked_group, (state.locked_mods & LockMask) != 0};
}

void X11TestDisplay::lockKeyboard(int group, bool capsLock) {
  XkbLockGroup(display_, XkbUseCoreKbd, static_cast<unsigned>(group));
  XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, capsLock ? LockMask : 0);
  XSync(display_, False);
}

}  // namespace quorin
