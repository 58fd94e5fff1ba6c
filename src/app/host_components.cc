#include "app/host_components.h"

#include <malloc.h>

#include "input/x11/xtest_event_sink.h"
#include "server/host_info.h"
#include "transport/secure_channel.h"
#include "video/x11/x11_display_capturer.h"

namespace quorin {

HostComponents::HostComponents(TaskRunner& mainThread)
    : mainThread_(mainThread), identity_(SecureChannel::generateKey, HostInfo::name) {
  // Every client session starts capture and encoder threads of its own. With glibc's default
  // of up to eight malloc arenas per core, each new thread may get a fresh arena that keeps
  // its freed frame buffers, and a host that serves many short sessions slowly grows. Two
  // arenas keep its memory flat at no measurable cost.
  mallopt(M_ARENA_MAX, 2);
}

std::unique_ptr<HostServer> HostComponents::makeServer() {
  if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>(mainThread_);
  if (!capturer_) capturer_ = std::make_unique<X11DisplayCapturer>();
  // Without a reachable display the injector still takes events and posts nothing.
  if (!injector_) injector_ = std::make_unique<InputInjector>(x11::openXTestEventSink());
  return std::make_unique<HostServer>(HostServer::Environment{
      .mainThread = &mainThread_,
      .identity = &identity_,
      .defaults = &defaults_,
      .advertiser = advertiser_.get(),
      .capturer = capturer_.get(),
      .injector = injector_.get(),
      .systemController = &systemController_,
      .hostName = HostInfo::name,
  });
}

}  // namespace quorin
