#pragma once
// Small RAII over sd-bus: owned references to a connection, a message, a signal match and an
// error, one method call that waits at most a given time, and a flush with a time limit (sd-bus's
// own flush waits for as long as the peer does not read). A failed call reports its D-Bus error
// text. Use a connection on one thread at a time. Header only: users link libsystemd.

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <cstddef>
#include <string>
#include <utility>

namespace quorin {

inline void unrefBusObject(sd_bus* bus) { sd_bus_unref(bus); }
inline void unrefBusObject(sd_bus_message* message) { sd_bus_message_unref(message); }
inline void unrefBusObject(sd_bus_slot* slot) { sd_bus_slot_unref(slot); }

// An owned reference to a connection, a message or a slot. out() takes a new reference from
// the sd-bus calls that hand one back through a pointer argument.
template <class T>
class SdBusRef {
 public:
  SdBusRef() = default;
  explicit SdBusRef(T* object) : object_(object) {}
  SdBusRef(SdBusRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  SdBusRef& operator=(SdBusRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~SdBusRef() { unrefBusObject(object_); }

  T* get() const { return object_; }
  T** out() {
    unrefBusObject(std::exchange(object_, nullptr));
    return &object_;
  }
  explicit operator bool() const { return object_ != nullptr; }
  bool operator==(std::nullptr_t) const { return object_ == nullptr; }

 private:
  T* object_ = nullptr;
};
using SdBusPtr = SdBusRef<sd_bus>;
using SdBusMessagePtr = SdBusRef<sd_bus_message>;
using SdBusSlotPtr = SdBusRef<sd_bus_slot>;

struct SdBusError {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  SdBusError() = default;
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;
  ~SdBusError() { sd_bus_error_free(&e); }
  std::string text(int status) const { return e.message ? e.message : "error " + std::to_string(-status); }
};

inline std::uint64_t busMicroseconds(std::chrono::steady_clock::duration duration) {
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  return static_cast<std::uint64_t>(usec > 0 ? usec : 1);
}

// One more reference to a connection someone else opened.
inline SdBusPtr shareBus(sd_bus* bus) { return SdBusPtr(sd_bus_ref(bus)); }

struct BusMethod {
  const char* destination;
  const char* path;
  const char* interface;
  const char* member;
};

// Calls `method` with arguments appended as sd_bus_message_append(signature, args...) would,
// waiting at most `timeout`. Returns the reply, or nothing with `error` set (when given).
template <typename... Args>
SdBusMessagePtr callBusMethod(sd_bus* bus, const BusMethod& method, std::chrono::milliseconds timeout,
                              std::string* error, const char* signature, Args... args) {
  SdBusMessagePtr call;
  int status = sd_bus_message_new_method_call(bus, call.out(), method.destination, method.path,
                                              method.interface, method.member);
  if (status >= 0 && signature) status = sd_bus_message_append(call.get(), signature, args...);
  SdBusError failure;
  SdBusMessagePtr reply;
  if (status >= 0) status = sd_bus_call(bus, call.get(), busMicroseconds(timeout), &failure.e, reply.out());
  if (status < 0 && error) *error = std::string(method.member) + ": " + failure.text(status);
  return reply;
}

// Writes what is queued on `bus` within `timeout`; false when the peer did not take it all
// (it stays queued) or the connection failed.
inline bool flushBus(sd_bus* bus, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int events = sd_bus_get_events(bus);
    if (events < 0) return false;
    if (!(events & POLLOUT)) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{sd_bus_get_fd(bus), POLLOUT, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (sd_bus_process(bus, nullptr) < 0) return false;
  }
}

}  // namespace quorin
