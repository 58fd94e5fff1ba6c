#include "input/x11_test_client.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <xkbcommon/xkbcommon.h>

namespace quorin {
namespace {

using Type = ReceivedEvent::Type;

bool translate(XEvent& event, ReceivedEvent& r) {
  switch (event.type) {
    case KeyPress:
    case KeyRelease: {
      r.type = Type::key, r.pressed = event.type == KeyPress;
      r.modifiers = event.xkey.state & kHeldMask;
      KeySym keysym = NoSymbol;
      XLookupString(&event.xkey, nullptr, 0, &keysym, nullptr);  // keymap refreshed as Xlib does
      r.keysym = static_cast<std::uint32_t>(keysym);
      char utf8[8];
      const int size = xkb_keysym_to_utf8(r.keysym, utf8, sizeof utf8);
      if (r.pressed && size > 1 && static_cast<unsigned char>(utf8[0]) >= 0x20) {
        r.text.assign(utf8, static_cast<std::size_t>(size - 1));  // size counts the final NUL
      }
      return true;
    }
    case ButtonPress:
    case ButtonRelease: {
      const unsigned button = event.xbutton.button;
      r.x = event.xbutton.x, r.y = event.xbutton.y;
      r.pressed = event.type == ButtonPress;
      // Buttons 4 to 7 are the wheel up, down, left and right: one step when pressed.
      if (button >= 4 && button <= 7) {
        r.type = Type::axisDiscrete, r.code = button >= 6, r.discrete = button % 2 ? 1 : -1;
        return r.pressed;
      }
      r.type = Type::button, r.code = button == 1 ? BTN_LEFT : button == 3 ? BTN_RIGHT : BTN_MIDDLE;
      return true;
    }
    case MotionNotify:
      r.x = event.xmotion.x, r.y = event.xmotion.y;
      return true;
    default:
      return false;
  }
}

}  // namespace

X11TestClient::X11TestClient(ScreenRect area)
    : thread_([this, area](const std::stop_token& stop) { run(area, stop); }) {
  waitUntilStarted();
}

void X11TestClient::run(ScreenRect area, const std::stop_token& stop) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return started(false);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;  // no window manager moves it
  attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                          StructureNotifyMask;
  const Window window = XCreateWindow(display, DefaultRootWindow(display), area.x, area.y,
                                      static_cast<unsigned>(area.width), static_cast<unsigned>(area.height), 0,
                                      CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask,
                                      &attributes);
  XMapRaised(display, window);
  for (XEvent event{}; event.type != MapNotify;) XNextEvent(display, &event);
  XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
  XSync(display, False);
  started(true);
  while (!stop.stop_requested()) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (ReceivedEvent received; translate(event, received)) record(std::move(received));
    }
    pollfd socket{ConnectionNumber(display), POLLIN, 0};
    poll(&socket, 1, 20);
  }
  XCloseDisplay(display);
}

X11TestDisplay::X11TestDisplay() : display_(XOpenDisplay(nullptr)) {}

X11TestDisplay::~X11TestDisplay() {
  if (display_) XCloseDisplay(display_);
}

std::pair<int, int> X11TestDisplay::pointer() const {
  Window root, child;
  int x = 0, y = 0, windowX, windowY;
  unsigned mask;
  XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &windowX, &windowY, &mask);
  return {x, y};
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
