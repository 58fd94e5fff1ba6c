#pragma once
// Small RAII over sd-bus for the remote desktop calls: owned references to a connection and a
// message, and one blocking method call with a short timeout. A failed call reports its D-Bus
// error text. Use a connection on one thread only.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/log.h"

namespace quorin {

struct SdBusUnref {
  void operator()(sd_bus* bus) const { sd_bus_unref(bus); }
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using SdBusPtr = std::unique_ptr<sd_bus, SdBusUnref>;
using SdBusMessagePtr = std::unique_ptr<sd_bus_message, SdBusUnref>;

// One more reference to a connection someone else opened.
inline SdBusPtr shareBus(sd_bus* bus) { return SdBusPtr(sd_bus_ref(bus)); }

struct BusMethod {
  const char* destination;
  const char* path;
  const char* interface;
  const char* member;
};

// Input must not stall the host when the compositor does not answer.
inline constexpr std::chrono::milliseconds kBusCallTimeout{1000};

// Calls `method` with arguments appended as sd_bus_message_append(signature, args...) would.
// Returns the reply, or nothing with `error` set (when given).
template <typename... Args>
SdBusMessagePtr callBusMethod(sd_bus* bus, const BusMethod& method, std::string* error,
                              const char* signature, Args... args) {
  sd_bus_message* raw = nullptr;
  int status = sd_bus_message_new_method_call(bus, &raw, method.destination, method.path,
                                              method.interface, method.member);
  const SdBusMessagePtr call(raw);
  if (status >= 0 && signature) status = sd_bus_message_append(raw, signature, args...);
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  if (status >= 0) {
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(kBusCallTimeout);
    status = sd_bus_call(bus, raw, static_cast<std::uint64_t>(usec.count()), &failure, &reply);
  }
  if (status < 0 && error) {
    *error = std::string(method.member) + ": " +
             (failure.message ? failure.message : std::string("error ") + std::to_string(-status));
  }
  sd_bus_error_free(&failure);
  return SdBusMessagePtr(reply);
}

// Sends the Notify* calls of one remote desktop session. A session that ends fails every
// call after it; only the first failure is logged, so the log says once why input stopped.
class RemoteDesktopNotifier {
 public:
  RemoteDesktopNotifier(SdBusPtr bus, const char* destination, std::string path,
                        const char* interface)
      : bus_(std::move(bus)), destination_(destination), path_(std::move(path)), interface_(interface) {}

  template <typename... Args>
  bool notify(const char* member, const char* signature, Args... args) {
    std::string error;
    if (callBusMethod(bus_.get(), {destination_, path_.c_str(), interface_, member}, &error,
                      signature, args...)) {
      return true;
    }
    if (!reported_) logLine("remote desktop " + error);
    reported_ = true;
    return false;
  }

 private:
  SdBusPtr bus_;
  const char* destination_;
  std::string path_;
  const char* interface_;
  bool reported_ = false;
};

}  // namespace quorin
