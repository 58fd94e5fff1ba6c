#include "app/wayland/portal_input_sink.h"

#include <cstdint>
#include <utility>

#include "input/wayland/remote_desktop_event_sink.h"
#include "input/wayland/remote_desktop_input.h"
#include "video/wayland/wayland_display_capturer.h"

namespace quorin {
namespace {

// The Notify* calls on the portal session's own connection: the portal takes them only from
// the connection that created the session.
class PortalSessionInput final : public RemoteDesktopInput {
 public:
  explicit PortalSessionInput(std::weak_ptr<PortalSession> session) : session_(std::move(session)) {}

  bool pointerMotionAbsolute(double x, double y) override {
    return notify("NotifyPointerMotionAbsolute", "udd", nodeId(), x, y);
  }
  bool pointerButton(int button, bool pressed) override {
    return notify("NotifyPointerButton", "iu", button, state(pressed));
  }
  bool pointerAxisDiscrete(ScrollAxis axis, int steps) override {
    return notify("NotifyPointerAxisDiscrete", "ui", static_cast<std::uint32_t>(axis), steps);
  }
  bool keyboardKeysym(std::uint32_t keysym, bool pressed) override {
    return notify("NotifyKeyboardKeysym", "iu", static_cast<std::int32_t>(keysym), state(pressed));
  }

 private:
  static std::uint32_t state(bool pressed) { return pressed ? 1U : 0U; }
  std::uint32_t nodeId() const {
    const auto session = session_.lock();
    return session ? session->stream().nodeId : 0;
  }
  template <typename... Args>
  bool notify(const char* method, const char* types, Args... args) {
    const auto session = session_.lock();
    return session && session->notifyRemoteDesktop(method, types, args...);
  }

  std::weak_ptr<PortalSession> session_;
};

class PortalInputSink final : public EventSink {
 public:
  explicit PortalInputSink(WaylandDisplayCapturer& capturer) : capturer_(capturer) {}

  std::optional<ScreenRect> screenFrame() override {
    EventSink* sink = current();
    return sink ? sink->screenFrame() : std::nullopt;
  }
  void movePointer(int x, int y) override {
    if (EventSink* sink = current()) sink->movePointer(x, y);
  }
  void setButton(MouseButton button, bool down) override {
    if (EventSink* sink = current()) sink->setButton(button, down);
  }
  void pressKey(SpecialKey key, const Modifiers& modifiers) override {
    if (EventSink* sink = current()) sink->pressKey(key, modifiers);
  }
  void typeText(std::u32string_view text, const Modifiers& modifiers) override {
    if (EventSink* sink = current()) sink->typeText(text, modifiers);
  }
  void finish() override {
    if (EventSink* sink = current()) sink->finish();
  }

 private:
  // The sink of the session now streaming, made afresh when that session changed.
  EventSink* current() {
    const std::shared_ptr<PortalSession> session = capturer_.session();
    if (!session || !session->remoteDesktop()) {
      sink_.reset();
      session_.reset();
      return nullptr;
    }
    if (session_.lock() != session) {
      const PortalSession::Stream& stream = session->stream();
      sink_ = std::make_unique<RemoteDesktopEventSink>(std::make_unique<PortalSessionInput>(session),
                                                       ScreenRect{0, 0, stream.width, stream.height});
      session_ = session;
    }
    return sink_.get();
  }

  WaylandDisplayCapturer& capturer_;
  std::weak_ptr<PortalSession> session_;
  std::unique_ptr<EventSink> sink_;
};

}  // namespace

std::unique_ptr<EventSink> makePortalInputSink(WaylandDisplayCapturer& capturer) {
  return std::make_unique<PortalInputSink>(capturer);
}

}  // namespace quorin
