#pragma once
// ServiceAdvertiser on avahi-daemon through the Avahi client API. Avahi's own thread (a
// threaded poll) talks to the daemon; calls from the main thread take its lock, and problems
// are reported on the main thread through `mainThread`.
//
// The client is created with AVAHI_CLIENT_NO_FAIL, so a missing daemon is not fatal: the
// host keeps listening, the problem is reported once per outage, and the service is
// published again as soon as the daemon (re)appears. A name taken by another host is
// replaced by Avahi's alternative name ("Name #2").

#include <memory>
#include <optional>

#include "base/task_runner.h"
#include "server/service_advertiser.h"

namespace quorin {

class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  explicit AvahiAdvertiser(TaskRunner& mainThread);
  ~AvahiAdvertiser() override;
  AvahiAdvertiser(const AvahiAdvertiser&) = delete;
  AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

  void setProblemHandler(ProblemHandler handler) override;
  void publish(const ServiceDescription& service) override;
  void withdraw() override;

 private:
  class Engine;
  std::shared_ptr<bool> alive_;
  TaskRunner& mainThread_;
  ProblemHandler onProblem_;
  std::unique_ptr<Engine> engine_;
};

}  // namespace quorin
