#pragma once
// Accepts TCP connections on one port of every local address (an IPv6 socket that also
// takes IPv4). Thread: open() on any thread before accepting starts; everything else, and
// every accept callback, on the io_context's thread.

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>

#include <cstdint>
#include <functional>
#include <system_error>

namespace quorin {

class TcpListener {
 public:
  using AcceptHandler = std::function<void(asio::ip::tcp::socket)>;
  using FailureHandler = std::function<void(std::error_code)>;

  explicit TcpListener(asio::io_context& context);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds and listens; port 0 picks a free one. On failure nothing stays bound.
  std::error_code open(std::uint16_t port);
  std::uint16_t port() const { return port_; }

  // The listening socket and every accepted one are close-on-exec. Hands each accepted
  // socket (no-delay and keepalive on, see tcp_liveness.h) to `onAccept` until close(). A fatal accept
  // error closes the listener and goes to `onFailure`; per-connection errors are skipped.
  // When the process runs out of descriptors or memory, accepting pauses for kRetryDelay
  // (the waiting connection would otherwise wake us at once, again and again), logged once
  // until an accept succeeds again.
  void startAccepting(AcceptHandler onAccept, FailureHandler onFailure);
  void close();

  static constexpr std::chrono::milliseconds kRetryDelay{100};

 private:
  void acceptNext();
  void retryLater(const std::error_code& ec);

  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  bool starved_ = false;  // the last accept failed for lack of resources
  AcceptHandler onAccept_;
  FailureHandler onFailure_;
  std::uint16_t port_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorin
