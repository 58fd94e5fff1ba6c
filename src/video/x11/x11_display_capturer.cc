#include "video/x11/x11_display_capturer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/x11/first_monitor.h"
#include "video/cursor_overlay.h"
#include "video/x11/x_error_trap.h"

namespace quorin {

namespace {

enum X11ErrorCode {
  kCannotConnect = 1,
  kMissingExtension = 2,
  kUnsupportedVisual = 3,
  kSharedMemoryFailed = 4,
};

CaptureError x11Error(X11ErrorCode code, std::string description) {
  return {"X11", code, std::move(description)};
}

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr connect(const std::string& name, CaptureError& error) {
  const char* requested = name.empty() ? nullptr : name.c_str();
  DisplayPtr display(XOpenDisplay(requested));
  if (!display) {
    const std::string shown = XDisplayName(requested);
    error = x11Error(kCannotConnect, shown.empty()
                                         ? "Cannot open the X display: DISPLAY is not set"
                                         : "Cannot open the X display \"" + shown + "\"");
  }
  return display;
}

bool intersects(const XRectangle& r, const ScreenRect& area) {
  return r.x < area.x + area.width && area.x < r.x + r.width && r.y < area.y + area.height &&
         area.y < r.y + r.height;
}

// Where the pointer is when it is on another X screen: far outside every picture.
constexpr int kPointerElsewhere = -1'000'000;

class X11DisplayStream final : public DisplayStream {
 public:
  X11DisplayStream(DisplayPtr display, const ScreenRect& area)
      : display_(std::move(display)),
        errors_(display_.get()),
        area_(area),
        root_(DefaultRootWindow(display_.get())) {}

  ~X11DisplayStream() override {
    Display* d = display_.get();
    if (shmAttached_) XShmDetach(d, &shm_);
    if (image_) XDestroyImage(image_);  // frees the XImage only; the pixels are the segment's
    if (shm_.shmaddr) shmdt(shm_.shmaddr);
    if (damage_) XDamageDestroy(d, damage_);
    if (damagedParts_) XFixesDestroyRegion(d, damagedParts_);
    XSync(d, False);  // errors of the above still land in the trap
  }

  bool open(CaptureError& error);
  const BgraImage* grab(bool force) override;

 private:
  bool attachSharedImage(CaptureError& error);
  void readEvents();
  bool damageTouchesArea();
  void readCursorShape();

  DisplayPtr display_;
  x11::XErrorTrap errors_;
  const ScreenRect area_;
  const Window root_;

  XShmSegmentInfo shm_{};
  bool shmAttached_ = false;
  XImage* image_ = nullptr;
  int damageEventBase_ = 0;
  int fixesEventBase_ = 0;
  Damage damage_ = 0;
  XserverRegion damagedParts_ = 0;
  bool damaged_ = false;
  CursorOverlay cursor_;
  MutableBgraImage picture_;
  BgraImage view_;
};

bool X11DisplayStream::open(CaptureError& error) {
  Display* d = display_.get();
  int major = 0;
  int minor = 0;
  Bool sharedPixmaps = False;
  int errorBase = 0;
  if (!XShmQueryVersion(d, &major, &minor, &sharedPixmaps)) {
    error = x11Error(kMissingExtension, "The X server has no MIT-SHM extension");
    return false;
  }
  if (!XDamageQueryExtension(d, &damageEventBase_, &errorBase) ||
      !XDamageQueryVersion(d, &major, &minor)) {
    error = x11Error(kMissingExtension, "The X server has no DAMAGE extension");
    return false;
  }
  // Regions need XFixes 2; the version must be announced before any XFixes request.
  if (!XFixesQueryExtension(d, &fixesEventBase_, &errorBase) ||
      !XFixesQueryVersion(d, &major, &minor) || major < 2) {
    error = x11Error(kMissingExtension, "The X server has no XFIXES 2 extension");
    return false;
  }
  if (!attachSharedImage(error)) return false;

  damage_ = XDamageCreate(d, root_, XDamageReportNonEmpty);
  damagedParts_ = XFixesCreateRegion(d, nullptr, 0);
  XFixesSelectCursorInput(d, root_, XFixesDisplayCursorNotifyMask);
  readCursorShape();
  XSync(d, False);
  if (const int code = errors_.takeError()) {
    error = x11Error(kMissingExtension, "The X server refused damage tracking (error " +
                                            std::to_string(code) + ")");
    return false;
  }
  return true;
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
    error = x11Error(kUnsupportedVisual, "The X screen does not use 32-bit BGRX pixels");
    return false;
  }

  const auto fail = [&](const std::string& what) {
    error = x11Error(kSharedMemoryFailed, what);
    return false;
  };
  shm_.shmid = shmget(IPC_PRIVATE, std::size_t(image_->bytes_per_line) * image_->height,
                      IPC_CREAT | 0600);
  if (shm_.shmid < 0) return fail(std::string("shmget failed: ") + std::strerror(errno));
  void* address = shmat(shm_.shmid, nullptr, 0);
  // Marked for removal at once: the segment goes away with the last detach, even after a crash.
  shmctl(shm_.shmid, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) {
    return fail(std::string("shmat failed: ") + std::strerror(errno));
  }
  shm_.shmaddr = image_->data = static_cast<char*>(address);
  shm_.readOnly = False;
  XShmAttach(d, &shm_);
  XSync(d, False);
  if (errors_.takeError() != 0) return fail("The X server could not attach shared memory");
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
      damaged_ = true;
    } else if (event.type == fixesEventBase_ + XFixesCursorNotify) {
      readCursorShape();
    }
  }
}

bool X11DisplayStream::damageTouchesArea() {
  Display* d = display_.get();
  // Clearing the damage before the grab: whatever is drawn from now on raises a new event.
  XDamageSubtract(d, damage_, None, damagedParts_);
  int count = 0;
  XRectangle* parts = XFixesFetchRegion(d, damagedParts_, &count);
  bool touches = false;
  for (int i = 0; i < count && !touches; ++i) touches = intersects(parts[i], area_);
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

const BgraImage* X11DisplayStream::grab(bool force) {
  Display* d = display_.get();
  readEvents();
  bool fresh = force;
  if (damaged_) {
    damaged_ = false;
    fresh = damageTouchesArea() || fresh;
  }
  if (fresh) {
    if (!XShmGetImage(d, root_, image_, area_.x, area_.y, AllPlanes)) {
      errors_.takeError();
      damaged_ = true;  // try again next tick rather than leave a stale picture
      return nullptr;
    }
    cursor_.forget();
  }

  Window rootReturn = 0;
  Window child = 0;
  int rootX = 0;
  int rootY = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int buttons = 0;
  const bool sameScreen = XQueryPointer(d, root_, &rootReturn, &child, &rootX, &rootY, &windowX,
                                        &windowY, &buttons);
  const int x = sameScreen ? rootX - area_.x : kPointerElsewhere;
  const int y = sameScreen ? rootY - area_.y : kPointerElsewhere;
  if (!fresh && !cursor_.changesPicture(x, y, picture_.width, picture_.height)) return nullptr;
  cursor_.draw(picture_, x, y);
  return &view_;
}

}  // namespace

X11DisplayCapturer::X11DisplayCapturer(std::string displayName)
    : displayName_(std::move(displayName)) {}

bool X11DisplayCapturer::showsDesktop(const std::string& displayName) {
  CaptureError error;
  const DisplayPtr display = connect(displayName, error);
  int opcode = 0, event = 0, errorBase = 0;
  return display && !x11::monitorsSharedFirst(display.get()).empty() &&
         !XQueryExtension(display.get(), "XWAYLAND", &opcode, &event, &errorBase);
}

ShareableContent X11DisplayCapturer::shareableContent() {
  ShareableContent content;
  CaptureError error;
  DisplayPtr display = connect(displayName_, error);
  if (!display) {
    content.error = std::move(error);
  } else {
    content.displays = x11::monitorsSharedFirst(display.get());
  }
  return content;
}

std::unique_ptr<DisplayStream> X11DisplayCapturer::openStream(const ScreenRect& display,
                                                              CaptureError& error) {
  DisplayPtr connection = connect(displayName_, error);
  if (!connection) return nullptr;
  auto stream = std::make_unique<X11DisplayStream>(std::move(connection), display);
  if (!stream->open(error)) return nullptr;
  return stream;
}

}  // namespace quorin
