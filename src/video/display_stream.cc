#include "video/display_stream.h"

namespace quorin {

bool DisplayStream::waitForChange(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(wakeMutex_);
  wake_.wait_until(lock, deadline, [this] { return interrupted_; });
  interrupted_ = false;
  return true;
}

void DisplayStream::interrupt() {
  {
    std::lock_guard lock(wakeMutex_);
    interrupted_ = true;
  }
  wake_.notify_all();
}

}  // namespace quorin
