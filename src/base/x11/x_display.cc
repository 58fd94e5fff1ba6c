#include "base/x11/x_display.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <xcb/xcb.h>

// Xlibint.h defines min and max as macros: after every standard header.
#include <X11/Xlib.h>
#include <X11/Xlibint.h>

namespace quorin::x11 {
namespace {

Display* openHandled(const char* name) {
  // The default handler prints "XIO: fatal IO error" for a loss we handle; the process-wide
  // handler only reports, the per-display exit handler decides what happens.
  static std::once_flag quiet;
  std::call_once(quiet, [] { XSetIOErrorHandler([](Display*) { return 0; }); });
  Display* display = XOpenDisplay(name);
  if (display) XSetIOErrorExitHandler(display, [](Display*, void*) {}, nullptr);
  return display;
}

// What the open thread and its caller share; the last of them to let go frees it.
struct OpenSlot {
  std::optional<std::string> name;
  std::mutex mutex;
  std::condition_variable opened;
  bool done = false;
  bool abandoned = false;  // the caller gave up: the display is the open thread's to close
  Display* display = nullptr;
};

}  // namespace

const std::atomic<bool> kNeverCancelled{false};

void DisplayCloser::operator()(Display* display) const { XCloseDisplay(display); }

DisplayPtr openDisplay(const char* name) { return DisplayPtr(openHandled(name)); }

DisplayPtr openDisplay(const char* name, std::chrono::milliseconds limit, const std::atomic<bool>& cancelled,
                       bool* gaveUp) {
  auto slot = std::make_shared<OpenSlot>();
  if (name) slot->name = name;
  std::thread([slot] {
    const char* wanted = slot->name ? slot->name->c_str() : nullptr;
    // XOpenDisplay holds Xlib's process-wide lock while it waits for the server's greeting, and
    // every extension call of every other connection takes that lock: a hung server would stall
    // them all. xcb's own handshake takes no lock, so XOpenDisplay starts only once the server
    // has greeted one connection.
    xcb_connection_t* probe = xcb_connect(wanted, nullptr);
    const bool answered = xcb_connection_has_error(probe) == 0;
    xcb_disconnect(probe);
    std::unique_lock lock(slot->mutex);
    Display* display = nullptr;
    if (answered && !slot->abandoned) {
      lock.unlock();
      display = openHandled(wanted);
      lock.lock();
    }
    if (slot->abandoned) {
      lock.unlock();
      if (display) XCloseDisplay(display);
      return;
    }
    slot->display = display;
    slot->done = true;
    slot->opened.notify_all();
  }).detach();

  // `cancelled` is a plain flag: it is looked at a few times per second.
  constexpr auto kCancelLook = std::chrono::milliseconds(20);
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(slot->mutex);
  while (!slot->done && !cancelled && std::chrono::steady_clock::now() < giveUp) {
    slot->opened.wait_until(lock, (std::min)(giveUp, std::chrono::steady_clock::now() + kCancelLook));
  }
  if (gaveUp) *gaveUp = !slot->done;
  if (!slot->done) {
    slot->abandoned = true;
    return nullptr;
  }
  return DisplayPtr(slot->display);
}

bool displayLost(Display* display) { return (display->flags & XlibDisplayIOError) != 0; }

}  // namespace quorin::x11
