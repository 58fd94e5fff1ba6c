#pragma once
// A desktop environment of fakes (tests only): sessions stream the test's FakeScreen and post
// input to a sink the test provides, or fail with the test's sentence. Input lands on a
// 1440x900 monitor of the sink's own, whatever the pictures' size. Set `error`, `makeSink`
// and `holds` before a session is asked for; the rest may be read from any thread.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/desktop_environment.h"
#include "video/fake_screen.h"

namespace quorin {

class FakeDesktopEnvironment final : public DesktopEnvironment {
 public:
  FakeScreen screen;
  std::optional<CaptureError> error;  // set: every session fails with it
  std::function<std::unique_ptr<EventSink>()> makeSink;
  // Set: sessions wait, as behind a portal dialog nobody answers, until they are cancelled.
  std::atomic<bool> holds = false;
  std::atomic<int> withdrawn{0};

  // The monitor of every request, in order.
  std::vector<std::string> requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
  }

  std::vector<Monitor> monitors() override { return {{"FAKE-1", {0, 0, 64, 48}, true}}; }
  Result makeSession(const std::string& monitor, const std::atomic<bool>& cancelled) override {
    {
      std::lock_guard lock(mutex_);
      requested_.push_back(monitor);
    }
    while (holds && !cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (cancelled) {
      ++withdrawn;
      return {nullptr, sharingWithdrawnError()};
    }
    if (error) return {nullptr, *error};
    auto stream = screen.openStream();
    CaptureError why;
    const auto first = awaitFirstPicture(*stream, cancelled, why);
    if (!first) return {nullptr, why};
    return {std::make_unique<DesktopSession>(monitor, std::move(stream), *first, makeSink ? makeSink() : nullptr,
                                             [](const ScreenRect&) { return ScreenRect{0, 0, 1440, 900}; }),
            {}};
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> requested_;
};

}  // namespace quorin
