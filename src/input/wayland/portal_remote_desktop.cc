#include "input/wayland/portal_remote_desktop.h"

#include "input/wayland/remote_desktop_bus.h"

namespace quorin {
namespace {

class PortalRemoteDesktop final : public RemoteDesktopInput {
 public:
  PortalRemoteDesktop(sd_bus* bus, std::string session, std::uint32_t streamNode)
      : portal_(shareBus(bus), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                "org.freedesktop.portal.RemoteDesktop"),
        session_(std::move(session)),
        streamNode_(streamNode) {}

  // Every call starts with the session handle and an empty options dictionary.
  bool pointerMotionAbsolute(double x, double y) override {
    return portal_.notify("NotifyPointerMotionAbsolute", "oa{sv}udd", session_.c_str(), 0,
                          streamNode_, x, y);
  }
  bool pointerButton(int button, bool pressed) override {
    return portal_.notify("NotifyPointerButton", "oa{sv}iu", session_.c_str(), 0, button,
                          state(pressed));
  }
  bool pointerAxisDiscrete(ScrollAxis axis, int steps) override {
    return portal_.notify("NotifyPointerAxisDiscrete", "oa{sv}ui", session_.c_str(), 0,
                          static_cast<std::uint32_t>(axis), steps);
  }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    return portal_.notify("NotifyKeyboardKeysym", "oa{sv}iu", session_.c_str(), 0,
                          static_cast<std::int32_t>(keysym), state(pressed));
  }

 private:
  static std::uint32_t state(bool pressed) { return pressed ? 1U : 0U; }

  RemoteDesktopNotifier portal_;
  std::string session_;
  std::uint32_t streamNode_;
};

}  // namespace

std::unique_ptr<RemoteDesktopInput> makePortalRemoteDesktop(sd_bus* bus, std::string session,
                                                            std::uint32_t streamNode) {
  return std::make_unique<PortalRemoteDesktop>(bus, std::move(session), streamNode);
}

}  // namespace quorin
