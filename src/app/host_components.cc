#include "app/host_components.h"

#include "server/host_info.h"
#include "transport/secure_channel.h"

namespace quorin {

HostComponents::HostComponents(TaskRunner& mainThread)
    : mainThread_(mainThread), identity_(SecureChannel::generateKey, HostInfo::name) {}

std::unique_ptr<HostServer> HostComponents::makeServer() {
  if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>(mainThread_);
  return std::make_unique<HostServer>(HostServer::Environment{
      .mainThread = &mainThread_,
      .identity = &identity_,
      .defaults = &defaults_,
      .advertiser = advertiser_.get(),
      .hostName = HostInfo::name,
  });
}

}  // namespace quorin
