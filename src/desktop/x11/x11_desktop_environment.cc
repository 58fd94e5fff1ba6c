#include "desktop/x11/x11_desktop_environment.h"

#include <X11/Xlib.h>

#include "base/x11/first_monitor.h"
#include "input/x11/xtest_event_sink.h"
#include "video/x11/x11_display_stream.h"

namespace quorin {

namespace x11 {

std::vector<Monitor> listDisplayMonitors(const std::string& displayName, CaptureError& error) {
  const DisplayPtr display = connectDisplay(displayName, error);
  return display ? listMonitors(display.get()) : std::vector<Monitor>{};
}

bool showsDesktop(const std::string& displayName) {
  CaptureError error;
  const DisplayPtr display = connectDisplay(displayName, error);
  int opcode = 0, event = 0, errorBase = 0;
  return display && !listMonitors(display.get()).empty() &&
         !XQueryExtension(display.get(), "XWAYLAND", &opcode, &event, &errorBase);
}

}  // namespace x11

std::vector<Monitor> X11DesktopEnvironment::monitors() {
  CaptureError error;
  return x11::listDisplayMonitors(displayName_, error);
}

DesktopEnvironment::Result X11DesktopEnvironment::makeSession(const std::string& monitor,
                                                             const std::atomic<bool>& cancelled) {
  CaptureError error;
  std::unique_ptr<DisplayStream> stream = x11::openDisplayStream(displayName_, monitor, error, cancelled);
  if (!stream) return {nullptr, error};
  const std::optional<PictureSize> first = awaitFirstPicture(*stream, cancelled, error);
  if (!first) return {nullptr, error};
  // Without XTest the client still watches; its input goes nowhere.
  auto sink = x11::openXTestEventSink(displayName_.empty() ? nullptr : displayName_.c_str(), cancelled);
  return {std::make_unique<DesktopSession>(monitor, std::move(stream), *first, std::move(sink)), {}};
}

}  // namespace quorin
