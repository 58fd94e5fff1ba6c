#include "transport/tcp_liveness.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quorin {
namespace {

bool setInt(int fd, int level, int option, int value) {
  return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
}

}  // namespace

bool watchPeerLiveness(int fd) {
  const auto userTimeout = std::chrono::duration_cast<std::chrono::milliseconds>(kUserTimeout);
  bool ok = setInt(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  ok = setInt(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(kKeepAliveIdle.count())) && ok;
  ok = setInt(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(kKeepAliveInterval.count())) && ok;
  ok = setInt(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes) && ok;
  return setInt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(userTimeout.count())) && ok;
}

}  // namespace quorin
