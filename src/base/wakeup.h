#pragma once
// An eventfd that makes a thread's poll() return: a display stream polls it beside its
// display's connection so that interrupt() ends a wait at once. Closed with its owner.
// raise() from any thread; take() on the polling one.

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace quorin {

class Wakeup {
 public:
  Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Wakeup() {
    if (fd_ >= 0) close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  int fd() const { return fd_; }
  void raise() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(fd_, &one, sizeof one);
  }
  // True when raised since the last call.
  bool take() const {
    std::uint64_t count = 0;
    return read(fd_, &count, sizeof count) == sizeof count;
  }

 private:
  int fd_;
};

}  // namespace quorin
