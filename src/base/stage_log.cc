#include "base/stage_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/log.h"

namespace quorin {

StageLog& StageLog::instance() {
  static StageLog log(std::getenv("QUORIN_STAGE_LOG"));
  return log;
}

StageLog::StageLog(const char* path) {
  if (!path || !*path) return;
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) logLine(std::string("cannot write the stage log ") + path + ": " + std::strerror(errno));
}

StageLog::~StageLog() {
  if (fd_ >= 0) ::close(fd_);
}

void StageLog::write(std::string_view stage, std::chrono::microseconds pts, Time at) {
  char line[128];
  const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  const int n = std::snprintf(line, sizeof line, "%.*s %lld %lld\n", int(stage.size()), stage.data(),
                              static_cast<long long>(pts.count()), ns);
  // A short or failed write loses one benchmark line, nothing else.
  if (n > 0 && n < int(sizeof line)) {
    [[maybe_unused]] const ssize_t written = ::write(fd_, line, std::size_t(n));
  }
}

}  // namespace quorin
