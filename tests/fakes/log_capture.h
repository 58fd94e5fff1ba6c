#pragma once
// Collects log lines for the lifetime of the object (tests only).

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"

namespace quorin {

class LogCapture {
 public:
  LogCapture() {
    setLogSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { setLogSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
  }
  bool contains(const std::string& line) const { return count(line) > 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace quorin
