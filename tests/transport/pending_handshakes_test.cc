#include "transport/pending_handshakes.h"

#include <gtest/gtest.h>

#include <asio/write.hpp>
#include <openssl/ssl.h>
#include <poll.h>

#include <array>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "base/io_thread.h"
#include "fakes/log_capture.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {
namespace {

using Progress = MessageChannel::Progress;

asio::ip::address address(const char* text) { return asio::ip::make_address(text); }

// A TLS client over a blocking socket from a chosen loopback address, driven a flight at a
// time, so that the test decides what the host has heard when it must choose.
class SteppedClient {
 public:
  SteppedClient(asio::io_context& io, const char* from, std::uint16_t port) : socket_(io) {
    socket_.open(asio::ip::tcp::v4());
    socket_.bind({address(from), 0});
    socket_.connect({address("127.0.0.1"), port});
  }
  void say(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }
  void hello(std::shared_ptr<TlsContext> tls) {
    tls_ = std::move(tls);
    ssl_.reset(SSL_new(tls_->native().native_handle()));
    in_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_.get(), in_, BIO_new(BIO_s_mem()));
    SSL_connect(ssl_.get());
    flush();
  }
  // Answers the host's hello with the ClientKeyExchange alone, which carries the identity,
  // and never finishes: what anyone can do, since the identity is no secret.
  void presentIdentityAndStall() {
    BIO* out = SSL_get_wbio(ssl_.get());
    char* data = nullptr;
    while (BIO_get_mem_data(out, &data) == 0) {
      if (!readInto()) return;
      SSL_connect(ssl_.get());
    }
    const auto* record = reinterpret_cast<const unsigned char*>(data);
    say({data, 5u + (record[3] << 8 | record[4])});
    (void)BIO_reset(out);
  }
  bool finishHandshake() {
    for (;;) {
      const int rc = SSL_connect(ssl_.get());
      flush();
      if (rc == 1) return true;
      if (SSL_get_error(ssl_.get(), rc) != SSL_ERROR_WANT_READ || !readInto()) return false;
    }
  }
  // Whether the host closed the connection within `waitMs`, without sending anything.
  bool closed(int waitMs = 5000) {
    pollfd p{socket_.native_handle(), POLLIN, 0};
    char byte;
    return poll(&p, 1, waitMs) == 1 && recv(p.fd, &byte, 1, 0) <= 0;
  }

 private:
  bool readInto() {
    std::array<char, 4096> buffer;
    std::error_code ec;
    const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
    if (ec) return false;
    BIO_write(in_, buffer.data(), static_cast<int>(n));
    return true;
  }
  void flush() {
    BIO* out = SSL_get_wbio(ssl_.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    if (size > 0) say({data, static_cast<std::size_t>(size)});
    (void)BIO_reset(out);
  }

  asio::ip::tcp::socket socket_;
  std::shared_ptr<TlsContext> tls_;  // its callback finds the key through it
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, &SSL_free};
  BIO* in_ = nullptr;
};

// A pending handshake table on a real listener and TLS context, on its own server thread.
struct Host {
  explicit Host(PendingHandshakes::Limits limits) {
    handshakes = std::make_shared<PendingHandshakes>(SecureChannel::parameters(key).tls, limits,
                                                     [this](std::unique_ptr<MessageChannel> channel) {
                                                       ready.at(readyCount++).set_value(channel->handshakeProgress());
                                                     });
    EXPECT_FALSE(listener.open(0));
    server.post([this] {
      listener.startAccepting([this](asio::ip::tcp::socket s) { handshakes->admit(std::move(s)); }, nullptr);
    });
  }
  ~Host() {
    std::promise<void> cleared;
    server.post([&] {
      listener.close();
      handshakes->clear();
      cleared.set_value();
    });
    cleared.get_future().wait();
  }
  std::uint16_t port() const { return listener.port(); }

  const Bytes key = *SecureChannel::generateKey();
  IoThread server{"server"};
  TcpListener listener{server.context()};
  std::shared_ptr<PendingHandshakes> handshakes;
  std::array<std::promise<Progress>, 4> ready;  // set in turn, one per completed handshake
  std::size_t readyCount = 0;  // server thread
};

// The host is held up while the connections queue, so each is judged on what it sent. The
// strangers say a byte, so that no first-bytes deadline closes them while the test runs.
TEST(PendingHandshakes, NewcomersDropTheBusiestAddressesHandshakesAndFailuresAreSummedUp) {
  LogCapture log;
  std::optional<Host> host(std::in_place, PendingHandshakes::Limits{.total = 3, .perGroup = 2});
  std::promise<void> release;
  host->server.post([held = release.get_future().share()] { held.wait(); });

  asio::io_context io;
  SteppedClient flood1(io, "127.0.0.2", host->port());
  flood1.say("\x16");
  SteppedClient phone(io, "127.0.0.3", host->port());
  phone.hello(SecureChannel::clientContext(host->key));
  SteppedClient flood2(io, "127.0.0.2", host->port());
  flood2.say("\x16");
  SteppedClient newcomer1(io, "127.0.0.4", host->port());
  newcomer1.say("\x16");
  SteppedClient newcomer2(io, "127.0.0.5", host->port());
  newcomer2.say("\x16");
  release.set_value();

  EXPECT_TRUE(flood1.closed());
  EXPECT_TRUE(flood2.closed());
  ASSERT_TRUE(phone.finishHandshake());
  EXPECT_EQ(host->ready[0].get_future().get(), Progress::identified);
  EXPECT_FALSE(newcomer1.closed(0));
  host.reset();

  // The ready connection is told in full, the failures summed up (the 10 s summary may have
  // come before clear() wrote the last one).
  std::vector<std::string> told;
  int failures = 0;
  for (const std::string& line : log.lines()) {
    const std::string text = line.substr(kLogPrefix.size());
    if (text.find(" handshake in the last 10 s (last: ") == std::string::npos) {
      told.push_back(text);
    } else {
      failures += std::stoi(text);
    }
  }
  EXPECT_EQ(told, (std::vector<std::string>{"connection setup", "connection preparing (resolving + handshake)",
                                            "connection READY"}));
  EXPECT_GE(failures, 2);
}

// Beside a client that presented the identity and stalled, two handshakes from a busier
// address hold the places; a newcomer from a third address arrives.
TEST(PendingHandshakes, AStalledIdentifiedHandshakeGivesWayOnceItsGraceIsOver) {
  for (const bool overdue : {true, false}) {
    SCOPED_TRACE(overdue ? "grace over" : "within grace");
    using namespace std::chrono_literals;
    Host host({.total = 3, .perGroup = 2, .identifiedGrace = overdue ? 0ms : 1h});
    asio::io_context io;
    SteppedClient stalled(io, "127.0.0.2", host.port());
    stalled.hello(SecureChannel::clientContext(*SecureChannel::generateKey()));
    stalled.presentIdentityAndStall();
    // A handshake that needs several round trips on the server thread: the stalled one's
    // last record, sent before it began, has been read when it completes.
    SteppedClient barrier(io, "127.0.0.5", host.port());
    barrier.hello(SecureChannel::clientContext(host.key));
    ASSERT_TRUE(barrier.finishHandshake());
    ASSERT_EQ(host.ready[0].get_future().get(), Progress::identified);

    SteppedClient busy1(io, "127.0.0.3", host.port());
    busy1.say("\x16");
    SteppedClient busy2(io, "127.0.0.3", host.port());
    busy2.say("\x16");
    SteppedClient newcomer(io, "127.0.0.4", host.port());
    newcomer.hello(SecureChannel::clientContext(host.key));
    ASSERT_TRUE(newcomer.finishHandshake());
    EXPECT_EQ(host.ready[1].get_future().get(), Progress::identified);
    if (overdue) {
      EXPECT_TRUE(stalled.closed());
      EXPECT_FALSE(busy1.closed(0));
    } else {
      EXPECT_TRUE(busy1.closed());
      EXPECT_FALSE(stalled.closed(0));
    }
    EXPECT_FALSE(busy2.closed(0));
  }
}

}  // namespace
}  // namespace quorin
