#include "transport/client_connector.h"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

namespace quorin {
namespace {

struct Attempt {
  Attempt(asio::io_context& context, ConnectHandler done)
      : resolver(context), socket(context), timer(context), handler(std::move(done)) {}

  void finish(std::error_code ec, std::shared_ptr<TlsContext> tls) {
    if (!handler) return;
    timer.cancel();
    auto done = std::move(handler);
    handler = nullptr;
    if (ec) {
      done(ec, nullptr);
    } else {
      done({}, std::make_unique<MessageChannel>(std::move(socket), std::move(tls)));
    }
  }

  asio::ip::tcp::resolver resolver;
  asio::ip::tcp::socket socket;
  asio::steady_timer timer;
  ConnectHandler handler;
  bool timedOut = false;
};

}  // namespace

void connectChannel(asio::io_context& context, const std::string& host, std::uint16_t port,
                    std::shared_ptr<TlsContext> tls, std::chrono::milliseconds timeout,
                    ConnectHandler handler) {
  auto attempt = std::make_shared<Attempt>(context, std::move(handler));
  attempt->timer.expires_after(timeout);
  attempt->timer.async_wait([attempt](std::error_code ec) {
    if (ec) return;
    attempt->timedOut = true;
    attempt->resolver.cancel();
    std::error_code ignored;
    attempt->socket.close(ignored);
  });
  attempt->resolver.async_resolve(
      host, std::to_string(port),
      [attempt, tls](std::error_code ec, asio::ip::tcp::resolver::results_type results) {
        if (attempt->timedOut) return attempt->finish(asio::error::timed_out, nullptr);
        if (ec) return attempt->finish(ec, nullptr);
        asio::async_connect(attempt->socket, results,
                            [attempt, tls](std::error_code ec, const asio::ip::tcp::endpoint&) {
                              if (attempt->timedOut) ec = asio::error::timed_out;
                              attempt->finish(ec, tls);
                            });
      });
}

}  // namespace quorin
