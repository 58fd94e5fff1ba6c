#include "transport/tcp_listener.h"

#include <asio/ip/v6_only.hpp>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/close_on_exec.h"
#include "transport/tcp_liveness.h"

namespace quorin {

TcpListener::TcpListener(asio::io_context& context) : acceptor_(context), retry_(context) {}

TcpListener::~TcpListener() {
  *alive_ = false;
  close();
}

std::error_code TcpListener::open(std::uint16_t port) {
  std::error_code ec;
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v6::any(), port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec && !setCloseOnExec(acceptor_.native_handle())) ec.assign(errno, std::system_category());
  if (!ec) acceptor_.set_option(asio::ip::v6_only(false), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) port_ = acceptor_.local_endpoint(ec).port();
  if (ec) {
    std::error_code ignored;
    acceptor_.close(ignored);
  }
  return ec;
}

void TcpListener::startAccepting(AcceptHandler onAccept, FailureHandler onFailure) {
  onAccept_ = std::move(onAccept);
  onFailure_ = std::move(onFailure);
  acceptNext();
}

void TcpListener::close() {
  std::error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
}

void TcpListener::acceptNext() {
  acceptor_.async_accept([this, alive = alive_](std::error_code ec, asio::ip::tcp::socket socket) {
    if (!*alive || !acceptor_.is_open()) return;
    if (!ec) {
      starved_ = false;
      std::error_code ignored;
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      // asio accepts without SOCK_CLOEXEC; a child spawned meanwhile is covered by the
      // command runner, which passes on nothing but standard input, output and error.
      setCloseOnExec(socket.native_handle());
      if (!watchPeerLiveness(socket.native_handle())) {
        logLine(std::string("keepalive could not be set: ") + std::strerror(errno) +
                "; a client that vanishes keeps its session");
      }
      if (onAccept_) onAccept_(std::move(socket));
    } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
               ec == asio::error::no_memory) {
      retryLater(ec);
      return;
    } else if (ec == asio::error::connection_aborted) {
      // A client that gave up: keep serving the others.
    } else {
      close();
      if (onFailure_) onFailure_(ec);
      return;
    }
    acceptNext();
  });
}

void TcpListener::retryLater(const std::error_code& ec) {
  if (!starved_) logLine("accept failed, retrying: " + ec.message());
  starved_ = true;
  retry_.expires_after(kRetryDelay);
  retry_.async_wait([this, alive = alive_](std::error_code waitError) {
    if (!waitError && *alive && acceptor_.is_open()) acceptNext();
  });
}

}  // namespace quorin
