#pragma once
// The benchmarks' timeline of each picture through the host: one line "stage pts ns" each
// time a picture passes a stage, keyed by the presentation time in microseconds that the
// client sees in the frame's header; ns is steady_clock, which is CLOCK_MONOTONIC, so a
// benchmark on the same machine compares it with its own clock directly. Nothing changes on
// the wire. Off unless the host was started with QUORIN_STAGE_LOG naming a file; off, a mark
// costs one branch.
//
// Threads: any. Each line is one append to the file, whole, so the real-time threads never
// wait on each other or on a buffer flush.

#include <chrono>
#include <string_view>

namespace quorin {

class StageLog {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // The process's log, opened from $QUORIN_STAGE_LOG on first use.
  static StageLog& instance();

  // Truncates and writes `path`; null or empty: off. A file that cannot be opened is
  // logged once and leaves the log off.
  explicit StageLog(const char* path);
  ~StageLog();
  StageLog(const StageLog&) = delete;
  StageLog& operator=(const StageLog&) = delete;

  bool enabled() const { return fd_ >= 0; }
  // `stage` is one word.
  void mark(std::string_view stage, std::chrono::microseconds pts) {
    if (fd_ >= 0) write(stage, pts, std::chrono::steady_clock::now());
  }
  void mark(std::string_view stage, std::chrono::microseconds pts, Time at) {
    if (fd_ >= 0) write(stage, pts, at);
  }

 private:
  void write(std::string_view stage, std::chrono::microseconds pts, Time at);

  int fd_ = -1;
};

}  // namespace quorin
