#pragma once
// Records what the server asks to advertise and lets a test report a problem (tests only).

#include <optional>
#include <vector>

#include "server/service_advertiser.h"

namespace quorin {

class FakeServiceAdvertiser final : public ServiceAdvertiser {
 public:
  void setProblemHandler(ProblemHandler handler) override { handler_ = std::move(handler); }
  void publish(const ServiceDescription& service) override {
    published = service;
    history.push_back(service);
  }
  void withdraw() override { published.reset(); }
  void reportProblem(const std::string& sentence) {
    if (handler_) handler_(sentence);
  }

  std::optional<ServiceDescription> published;
  std::vector<ServiceDescription> history;

 private:
  ProblemHandler handler_;
};

}  // namespace quorin
