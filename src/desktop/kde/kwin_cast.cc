#include "desktop/kde/kwin_cast.h"

#include "base/log.h"

namespace quorin::kde {

const zkde_screencast_stream_unstable_v1_listener KwinCast::listener = {
    .closed = [](void* data, zkde_screencast_stream_unstable_v1*) { static_cast<KwinCast*>(data)->closed_ = true; },
    .created = [](void* data, zkde_screencast_stream_unstable_v1*,
                  std::uint32_t node) { static_cast<KwinCast*>(data)->node_ = node; },
    .failed = [](void* data, zkde_screencast_stream_unstable_v1*,
                 const char* error) { static_cast<KwinCast*>(data)->failed_ = error ? error : ""; },
};

std::unique_ptr<KwinCast> KwinCast::start(KwinConnection& connection, const Source& source,
                                          const std::atomic<bool>* cancelled, CaptureError& error) {
  constexpr std::uint32_t kPointerAsMetadata = ZKDE_SCREENCAST_UNSTABLE_V1_POINTER_METADATA;
  std::unique_ptr<KwinCast> cast(new KwinCast);
  cast->stream_ = source.output
                      ? zkde_screencast_unstable_v1_stream_output(connection.screencast(), source.output,
                                                                  kPointerAsMetadata)
                      : zkde_screencast_unstable_v1_stream_window(connection.screencast(),
                                                                  source.windowUuid.c_str(), kPointerAsMetadata);
  zkde_screencast_stream_unstable_v1_add_listener(cast->stream_, &listener, cast.get());
  const auto deadline = KwinConnection::Clock::now() + KwinConnection::kSetupTimeout;
  while (!cast->node_ && !cast->failed_ && !cast->closed_) {
    if (cancelled && *cancelled) {
      error = screenNotNeededError();
      return nullptr;
    }
    if (!connection.dispatch(std::min(deadline, KwinConnection::Clock::now() + std::chrono::milliseconds(100)))) {
      error = compositorGoneError();
      return nullptr;
    }
    if (KwinConnection::Clock::now() >= deadline) {
      error = compositorSilentError();
      return nullptr;
    }
  }
  if (!cast->node_) {
    logLine("KWin refused the screen cast: " + cast->failed_.value_or("it closed the cast at once"));
    error = kwinFailedError();
    return nullptr;
  }
  return cast;
}

KwinCast::~KwinCast() {
  if (stream_) zkde_screencast_stream_unstable_v1_close(stream_);
}

}  // namespace quorin::kde
