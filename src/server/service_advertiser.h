#pragma once
// Announces the listening host on the local network (DNS-SD). AvahiAdvertiser is the real
// one; tests use a fake. Thread: the main thread for every call and every report.

#include <cstdint>
#include <functional>
#include <string>

namespace quorin {

struct ServiceDescription {
  std::string name;  // instance name; the advertiser may rename it on a collision
  std::string type;  // "_quorinremote._tcp"
  std::uint16_t port = 0;
  bool operator==(const ServiceDescription&) const = default;
};

class ServiceAdvertiser {
 public:
  // One plain sentence saying why the host is not (or no longer) advertised.
  using ProblemHandler = std::function<void(const std::string& sentence)>;

  virtual ~ServiceAdvertiser() = default;
  virtual void setProblemHandler(ProblemHandler handler) = 0;
  // Advertises `service` until withdraw(), replacing what was advertised before. When the
  // advertising service is unavailable, keeps trying and advertises once it is back.
  virtual void publish(const ServiceDescription& service) = 0;
  virtual void withdraw() = 0;
};

}  // namespace quorin
