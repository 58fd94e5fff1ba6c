#include "base/log.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

namespace quorin {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

void writeToSystemLog(const std::string& line) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("quorin-remote-host", LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", line.c_str());
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

void logLine(std::string_view message) {
  std::string line;
  line.reserve(kLogPrefix.size() + message.size());
  line.append(kLogPrefix).append(message);
  // The lock keeps lines from different threads whole and lets a sink be swapped safely.
  std::lock_guard lock(sinkMutex());
  if (currentSink()) {
    currentSink()(line);
  } else {
    writeToSystemLog(line);
  }
}

void setLogSink(LogSink sink) {
  std::lock_guard lock(sinkMutex());
  currentSink() = std::move(sink);
}

}  // namespace quorin
