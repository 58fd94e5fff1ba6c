#include "base/x11/connection_cut.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorin::x11 {

ConnectionCut::ConnectionCut(Display* display) : socket_(display ? fcntl(ConnectionNumber(display), F_DUPFD_CLOEXEC, 0) : -1) {}

void ConnectionCut::cut() {
  std::lock_guard lock(mutex_);
  if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
}

void ConnectionCut::forget() {
  std::lock_guard lock(mutex_);
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

}  // namespace quorin::x11
