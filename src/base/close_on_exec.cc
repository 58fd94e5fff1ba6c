#include "base/close_on_exec.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace quorin {

bool setCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

void setCloseOnExecAboveStandardError() {
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11 lack the flag: walk the open descriptors instead.
  DIR* folder = ::opendir("/proc/self/fd");
  if (!folder) return;
  while (const dirent* entry = ::readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    if (fd > STDERR_FILENO && fd != ::dirfd(folder)) setCloseOnExec(fd);
  }
  ::closedir(folder);
}

}  // namespace quorin
