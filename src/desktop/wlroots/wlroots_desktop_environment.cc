#include "desktop/wlroots/wlroots_desktop_environment.h"

#include <algorithm>

#include "input/wayland/wlr_event_sink.h"
#include "video/wayland/screencopy_connection.h"
#include "video/wayland/wlr_screencopy_stream.h"

namespace quorin {

namespace wayland {

std::vector<Monitor> listOutputs(const std::string& displayName, CaptureError& error) {
  ScreencopyConnection connection;
  if (!connection.open(displayName, error)) return {};
  return connection.monitors();
}

bool compositorOffers(const std::string& displayName, std::initializer_list<std::string_view> interfaces) {
  ScreencopyConnection connection;
  CaptureError error;
  if (!connection.open(displayName, error)) return false;
  return std::ranges::all_of(interfaces, [&](std::string_view wanted) { return connection.offers(wanted); });
}

}  // namespace wayland

bool WlrootsDesktopEnvironment::offeredBy(const std::string& displayName) {
  return wayland::compositorOffers(displayName, {"zwlr_screencopy_manager_v1", "zwlr_virtual_pointer_manager_v1"});
}

std::string WlrootsDesktopEnvironment::streamedOutput(const std::string& monitor) {
  // The stream chose as this does: the output of that name, else the first.
  const std::vector<Monitor> outputs = monitors();
  const bool there = std::ranges::any_of(outputs, [&](const Monitor& output) { return output.name == monitor; });
  return there || outputs.empty() ? monitor : outputs.front().name;
}

std::vector<Monitor> WlrootsDesktopEnvironment::monitors() {
  CaptureError error;
  return wayland::listOutputs(displayName_, error);
}

DesktopEnvironment::Result WlrootsDesktopEnvironment::makeSession(const std::string& monitor,
                                                                 const std::atomic<bool>& cancelled) {
  CaptureError error;
  std::unique_ptr<DisplayStream> stream = wayland::openScreencopyStream(displayName_, monitor, error, &cancelled);
  if (!stream) return {nullptr, error};
  const std::optional<PictureSize> first = awaitFirstPicture(*stream, cancelled, error);
  if (!first) return {nullptr, error};
  // The stream's area already lies in the compositor's layout, where the sink points. Without
  // virtual devices the client still watches; its input goes nowhere.
  auto sink = wayland::openWlrEventSink(displayName_.empty() ? nullptr : displayName_.c_str());
  return {std::make_unique<DesktopSession>(streamedOutput(monitor), std::move(stream), *first, std::move(sink)), {}};
}

}  // namespace quorin
