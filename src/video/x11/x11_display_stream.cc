#include "video/x11/x11_display_stream.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/wakeup.h"
#include "base/x11/connection_cut.h"
#include "base/x11/first_monitor.h"
#include "base/x11/round_trip_watch.h"
#include "base/x11/x_display.h"
#include "video/cursor_overlay.h"
#include "video/x11/x_error_trap.h"

namespace quorin::x11 {

DisplayPtr connectDisplay(const std::string& name, CaptureError& error, const std::atomic<bool>& cancelled) {
  const char* requested = name.empty() ? nullptr : name.c_str();
  bool gaveUp = false;
  DisplayPtr display = openDisplay(requested, kOpenLimit, cancelled, &gaveUp);
  if (!display) {
    error = gaveUp ? displayNotAnsweringError() : cannotOpenDisplayError(XDisplayName(requested));
  }
  return display;
}

namespace {

bool intersects(const XRectangle& r, const ScreenRect& area) {
  return r.x < area.x + area.width && area.x < r.x + r.width && r.y < area.y + area.height &&
         area.y < r.y + r.height;
}

// Where the pointer is when it is on another X screen: far outside every picture.
constexpr int kPointerElsewhere = -1'000'000;

// How often a waiting stream reads the monitors again although RandR said nothing: a safety
// net for servers that change their screen without telling.
constexpr auto kMonitorLookInterval = std::chrono::seconds(2);

// How often a waiting stream looks where the pointer is: a warp (XWarpPointer) moves it
// without any event, and so does any motion when the server lacks XInput 2.
constexpr auto kPointerLookInterval = std::chrono::milliseconds(50);

class X11DisplayStream final : public DisplayStream {
 public:
  X11DisplayStream(DisplayPtr display, std::string monitor)
      : display_(std::move(display)),
        errors_(display_.get()),
        monitor_(std::move(monitor)),
        root_(DefaultRootWindow(display_.get())),
        cut_(display_.get()) {}

  ~X11DisplayStream() override {
    Display* d = display_.get();
    // Closing waits for the server too; a hung one is cut off, and then nothing waits.
    const auto trip = watch_.begin();
    if (!displayLost(d)) {
      detachSharedImage();
      if (damage_) XDamageDestroy(d, damage_);
      if (damagedParts_) XFixesDestroyRegion(d, damagedParts_);
      XSync(d, False);  // errors of the above still land in the trap
    } else {
      if (image_) XDestroyImage(image_);
      if (shm_.shmaddr) shmdt(shm_.shmaddr);
    }
    display_.reset();
    cut_.forget();
  }

  bool open(CaptureError& error);
  const BgraImage* grab(bool force) override;
  ScreenRect area() const override { return area_; }
  ChangedArea changedArea() const override { return changed_; }
  std::optional<std::chrono::steady_clock::time_point> changeSeenAt() const override { return seenAt_; }
  bool waitForChange(std::chrono::steady_clock::time_point deadline) override;
  void interrupt() override { wakeup_.raise(); }
  void abandon() override { cut_.cut(); }
  std::optional<CaptureError> failure() const override {
    if (!displayLost(display_.get())) return std::nullopt;
    return displayLostError(watch_.fired());
  }

 private:
  // Finds the monitor (again) and, when its place or size changed, a shared image of its size.
  bool followMonitor(CaptureError& error);
  bool attachSharedImage(CaptureError& error);
  void detachSharedImage();
  void watchPointer();
  void readEvents();
  // Notes when the first change since the last grab was heard of.
  void changeSeen();
  // Takes the damage since the last grab; adds its part within the monitor to changed_ and
  // says whether there is any.
  bool takeDamage();
  void readCursorShape();
  // Where the pointer is in the picture; far outside when it is on another X screen.
  std::pair<int, int> pointerPosition();

  DisplayPtr display_;
  XErrorTrap errors_;
  const std::string monitor_;  // as asked for; empty for the primary one
  std::string shown_;          // the monitor streamed now
  ScreenRect area_;
  const Window root_;
  ConnectionCut cut_;
  int randrEventBase_ = -1;
  bool layoutChanged_ = false;  // RandR or the root window said the monitors changed
  std::chrono::steady_clock::time_point nextMonitorLook_;

  XShmSegmentInfo shm_{};
  bool shmAttached_ = false;
  XImage* image_ = nullptr;
  int damageEventBase_ = 0;
  int fixesEventBase_ = 0;
  Damage damage_ = 0;
  XserverRegion damagedParts_ = 0;
  bool damaged_ = false;
  int inputOpcode_ = -1;        // XInput 2's, once pointer motion is watched
  bool pointerChanged_ = true;  // moved or changed shape since the last grab
  std::chrono::steady_clock::time_point nextPointerLook_;
  std::pair<int, int> pointer_{kPointerElsewhere, kPointerElsewhere};  // as last looked at
  Wakeup wakeup_;
  CursorOverlay cursor_;
  MutableBgraImage picture_;
  BgraImage view_;
  ChangedArea changed_;  // of the last picture handed out
  std::optional<std::chrono::steady_clock::time_point> changeSince_;  // first change since the last grab
  std::optional<std::chrono::steady_clock::time_point> seenAt_;       // of the last picture handed out
  RoundTripWatch watch_{[this] { abandon(); }};  // last: its thread stops first
};

bool X11DisplayStream::open(CaptureError& error) {
  Display* d = display_.get();
  const auto trip = watch_.begin();
  int major = 0;
  int minor = 0;
  Bool sharedPixmaps = False;
  int errorBase = 0;
  if (!XShmQueryVersion(d, &major, &minor, &sharedPixmaps)) {
    error = missingExtensionError("MIT-SHM");
    return false;
  }
  if (!XDamageQueryExtension(d, &damageEventBase_, &errorBase) ||
      !XDamageQueryVersion(d, &major, &minor)) {
    error = missingExtensionError("DAMAGE");
    return false;
  }
  // Regions need XFixes 2; the version must be announced before any XFixes request.
  if (!XFixesQueryExtension(d, &fixesEventBase_, &errorBase) ||
      !XFixesQueryVersion(d, &major, &minor) || major < 2) {
    error = missingExtensionError("XFIXES 2");
    return false;
  }
  if (!followMonitor(error)) return false;
  int randrErrorBase = 0;
  if (XRRQueryExtension(d, &randrEventBase_, &randrErrorBase)) {
    XRRSelectInput(d, root_, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  }
  XSelectInput(d, root_, StructureNotifyMask);
  nextMonitorLook_ = std::chrono::steady_clock::now() + kMonitorLookInterval;

  damage_ = XDamageCreate(d, root_, XDamageReportNonEmpty);
  damagedParts_ = XFixesCreateRegion(d, nullptr, 0);
  XFixesSelectCursorInput(d, root_, XFixesDisplayCursorNotifyMask);
  watchPointer();
  readCursorShape();
  XSync(d, False);
  if (const int code = errors_.takeError()) {
    error = damageRefusedError(code);
    return false;
  }
  if (wakeup_.fd() < 0) {
    error = x11CallFailedError(kX11CannotConnect, "eventfd", errno);
    return false;
  }
  return true;
}

// Pointer motion draws nothing on the screen (the pointer is drawn into each picture here), so
// it raises no damage; XInput 2's raw motion events, real or injected through XTest, reach the
// root window whatever grabs the pointer.
void X11DisplayStream::watchPointer() {
  Display* d = display_.get();
  int event = 0;
  int error = 0;
  int major = 2;
  int minor = 0;
  if (!XQueryExtension(d, "XInputExtension", &inputOpcode_, &event, &error) ||
      XIQueryVersion(d, &major, &minor) != Success) {
    inputOpcode_ = -1;
    return;
  }
  unsigned char bits[XIMaskLen(XI_RawMotion)] = {};
  XISetMask(bits, XI_RawMotion);
  XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
  XISelectEvents(d, root_, &mask, 1);
}

bool X11DisplayStream::followMonitor(CaptureError& error) {
  Display* d = display_.get();
  const std::vector<Monitor> monitors = listMonitors(d);
  const Monitor* monitor = chooseMonitor(monitors, monitor_);
  if (!monitor) {
    error = noDisplayFoundError();
    return false;
  }
  if (monitor->name != shown_) {
    if (!shown_.empty() || (!monitor_.empty() && monitor->name != monitor_)) {
      logLine("the monitor \"" + (monitor_.empty() ? shown_ : monitor_) + "\" is not there; sharing \"" +
              monitor->name + "\" instead");
    }
    shown_ = monitor->name;
  }
  if (image_ && monitor->rect == area_) return true;
  detachSharedImage();
  area_ = monitor->rect;
  damaged_ = true;
  return attachSharedImage(error);
}

void X11DisplayStream::detachSharedImage() {
  Display* d = display_.get();
  if (shmAttached_) XShmDetach(d, &shm_);
  shmAttached_ = false;
  if (image_) XDestroyImage(image_);  // frees the XImage only; the pixels are the segment's
  image_ = nullptr;
  if (shm_.shmaddr) shmdt(shm_.shmaddr);
  shm_ = {};
}

bool X11DisplayStream::attachSharedImage(CaptureError& error) {
  Display* d = display_.get();
  const int screen = DefaultScreen(d);
  Visual* visual = DefaultVisual(d, screen);
  const int depth = DefaultDepth(d, screen);
  // The encoder takes B, G, R, X bytes: a 24-bit TrueColor visual in 32-bit little-endian pixels.
  const bool bgrx = visual->c_class == TrueColor && (depth == 24 || depth == 32) &&
                    visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
                    visual->blue_mask == 0xFF;
  if (bgrx) {
    image_ = XShmCreateImage(d, visual, depth, ZPixmap, nullptr, &shm_, area_.width, area_.height);
  }
  if (!image_ || image_->bits_per_pixel != 32 || image_->byte_order != LSBFirst) {
    error = unsupportedVisualError();
    return false;
  }

  const auto fail = [&](CaptureError why) {
    error = std::move(why);
    return false;
  };
  shm_.shmid = shmget(IPC_PRIVATE, std::size_t(image_->bytes_per_line) * image_->height,
                      IPC_CREAT | 0600);
  if (shm_.shmid < 0) return fail(x11CallFailedError(kX11SharedMemoryFailed, "shmget", errno));
  void* address = shmat(shm_.shmid, nullptr, 0);
  // Marked for removal at once: the segment goes away with the last detach, even after a crash.
  shmctl(shm_.shmid, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) {
    return fail(x11CallFailedError(kX11SharedMemoryFailed, "shmat", errno));
  }
  shm_.shmaddr = image_->data = static_cast<char*>(address);
  shm_.readOnly = False;
  XShmAttach(d, &shm_);
  XSync(d, False);
  if (errors_.takeError() != 0) return fail(sharedMemoryRefusedError());
  shmAttached_ = true;

  picture_ = {reinterpret_cast<std::uint8_t*>(image_->data), image_->width, image_->height,
              image_->bytes_per_line};
  view_ = {picture_.pixels, picture_.width, picture_.height, picture_.stride};
  return true;
}

void X11DisplayStream::readEvents() {
  Display* d = display_.get();
  while (XPending(d) > 0) {
    XEvent event;
    XNextEvent(d, &event);
    if (event.type == damageEventBase_ + XDamageNotify) {
      changeSeen();
      damaged_ = true;
    } else if (event.type == fixesEventBase_ + XFixesCursorNotify) {
      changeSeen();
      readCursorShape();
      pointerChanged_ = true;
    } else if (event.type == GenericEvent && event.xcookie.extension == inputOpcode_) {
      changeSeen();
      pointerChanged_ = true;
    } else if (event.type == ConfigureNotify ||
               (randrEventBase_ >= 0 && event.type >= randrEventBase_ &&
                event.type <= randrEventBase_ + RRNotify)) {
      XRRUpdateConfiguration(&event);
      layoutChanged_ = true;
    }
  }
}

void X11DisplayStream::changeSeen() {
  if (!changeSince_) changeSince_ = std::chrono::steady_clock::now();
}

bool X11DisplayStream::takeDamage() {
  Display* d = display_.get();
  // Clearing the damage before the grab: whatever is drawn from now on raises a new event.
  XDamageSubtract(d, damage_, None, damagedParts_);
  int count = 0;
  XRectangle* parts = XFixesFetchRegion(d, damagedParts_, &count);
  bool touches = false;
  for (int i = 0; i < count; ++i) {
    if (!intersects(parts[i], area_)) continue;
    touches = true;
    changed_.add({parts[i].x - area_.x, parts[i].y - area_.y, parts[i].width, parts[i].height},
                 {picture_.width, picture_.height});
  }
  if (parts) XFree(parts);
  return touches;
}

void X11DisplayStream::readCursorShape() {
  XFixesCursorImage* cursor = XFixesGetCursorImage(display_.get());
  if (!cursor) return;
  // XFixes hands out 32-bit ARGB in unsigned longs.
  std::vector<std::uint32_t> argb(std::size_t(cursor->width) * cursor->height);
  for (std::size_t i = 0; i < argb.size(); ++i) argb[i] = std::uint32_t(cursor->pixels[i]);
  cursor_.setShape(std::move(argb), cursor->width, cursor->height, cursor->xhot, cursor->yhot);
  XFree(cursor);
}

bool X11DisplayStream::waitForChange(std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  Display* d = display_.get();
  for (;;) {
    if (displayLost(d)) return true;  // the capture manager reads failure() next
    const auto now = steady_clock::now();
    if (now >= nextMonitorLook_) {
      nextMonitorLook_ = now + kMonitorLookInterval;
      layoutChanged_ = true;
    }
    if (now >= nextPointerLook_) {
      nextPointerLook_ = now + kPointerLookInterval;
      const auto [x, y] = pointerPosition();
      if (cursor_.changesPicture(x, y, picture_.width, picture_.height)) {
        changeSeen();
        pointerChanged_ = true;
      }
    }
    // Last before poll(): this also takes the events a reply brought along, and sends what is
    // still buffered, such as the last damage subtraction.
    readEvents();
    if (damaged_ || pointerChanged_ || layoutChanged_) return true;
    if (now >= deadline) return false;
    const auto timeout = ceil<milliseconds>(std::min({deadline, nextPointerLook_, nextMonitorLook_}) - now);
    pollfd fds[] = {{ConnectionNumber(d), POLLIN, 0}, {wakeup_.fd(), POLLIN, 0}};
    if (poll(fds, 2, int(timeout.count())) < 0 && errno != EINTR) return true;
    if (fds[0].revents & (POLLERR | POLLHUP)) return true;  // the next grab finds out
    if (wakeup_.take()) return damaged_ || pointerChanged_ || layoutChanged_;
  }
}

std::pair<int, int> X11DisplayStream::pointerPosition() {
  const auto trip = watch_.begin();
  Window rootReturn = 0;
  Window child = 0;
  int rootX = 0;
  int rootY = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int buttons = 0;
  if (!XQueryPointer(display_.get(), root_, &rootReturn, &child, &rootX, &rootY, &windowX,
                     &windowY, &buttons)) {
    return {kPointerElsewhere, kPointerElsewhere};
  }
  return {rootX - area_.x, rootY - area_.y};
}

const BgraImage* X11DisplayStream::grab(bool force) {
  Display* d = display_.get();
  if (displayLost(d)) return nullptr;
  const auto trip = watch_.begin();
  readEvents();
  if (std::exchange(layoutChanged_, false)) {
    CaptureError error;
    const ScreenRect before = area_;
    // Without any monitor (all unplugged) there is nothing to show until one comes back.
    if (!followMonitor(error)) return nullptr;
    force = force || area_ != before;
  }
  // With pointer events, a pointer that raised none is where it was: one round trip fewer.
  const bool lookAtPointer = pointerChanged_ || inputOpcode_ < 0;
  pointerChanged_ = false;
  const auto seen = std::exchange(changeSince_, std::nullopt);
  bool fresh = force;
  changed_ = ChangedArea::none();
  if (damaged_) {
    damaged_ = false;
    fresh = takeDamage() || fresh;
  }
  if (force) changed_ = {};
  if (fresh) {
    if (!XShmGetImage(d, root_, image_, area_.x, area_.y, AllPlanes)) {
      errors_.takeError();
      // The screen may have shrunk under the monitor before its event came: look again, and
      // try again next tick rather than leave a stale picture.
      damaged_ = layoutChanged_ = true;
      return nullptr;
    }
    cursor_.forget();
  }

  if (lookAtPointer) pointer_ = pointerPosition();
  const auto [x, y] = pointer_;
  const bool pointerMoved = cursor_.changesPicture(x, y, picture_.width, picture_.height);
  if (!fresh && !pointerMoved) return nullptr;
  // A pointer drawn again where it was over a fresh grab changes only what the damage says.
  ChangedArea underPointer = ChangedArea::none();
  cursor_.draw(picture_, x, y, underPointer);
  if (pointerMoved) changed_.rects.insert(changed_.rects.end(), underPointer.rects.begin(), underPointer.rects.end());
  seenAt_ = seen;
  return &view_;
}

}  // namespace

std::unique_ptr<DisplayStream> openDisplayStream(const std::string& displayName,
                                                 const std::string& monitor, CaptureError& error,
                                                 const std::atomic<bool>& cancelled) {
  DisplayPtr connection = connectDisplay(displayName, error, cancelled);
  if (!connection) return nullptr;
  auto stream = std::make_unique<X11DisplayStream>(std::move(connection), monitor);
  if (!stream->open(error)) return nullptr;
  return stream;
}

}  // namespace quorin::x11
