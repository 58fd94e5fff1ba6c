#include "transport/pending_handshakes.h"

#include <gtest/gtest.h>

#include <asio/write.hpp>
#include <openssl/ssl.h>
#include <poll.h>

#include <future>

#include "base/io_thread.h"
#include "fakes/log_capture.h"
#include "transport/handshake_eviction.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {
namespace {

using Progress = MessageChannel::Progress;

asio::ip::address address(const char* text) { return asio::ip::make_address(text); }

TEST(HandshakeEviction, GroupsAddressesOneMachineMayHoldAndSparesIdentifiedClients) {
  using HandshakeEviction::group;
  EXPECT_EQ(group(address("::ffff:10.0.0.7")), address("10.0.0.7"));
  EXPECT_EQ(group(address("2001:db8::1")), group(address("2001:db8::ffff:1:2")));
  EXPECT_NE(group(address("2001:db8::1")), group(address("2001:db8:0:1::1")));
  EXPECT_NE(group(address("10.0.0.7")), group(address("10.0.0.8")));

  using V = HandshakeEviction::Verdict;
  const auto S = Progress::silent, T = Progress::spoke, I = Progress::identified;
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, Progress>> pending;  // oldest first
    const char* newcomer;
    V expected;
  };
  const Case cases[] = {
      {"room", {{"10.0.0.1", S}, {"10.0.0.2", I}}, "10.0.0.3", V{}},
      {"newest silent", {{"10.0.0.1", S}, {"10.0.0.2", T}, {"10.0.0.3", S}, {"10.0.0.4", I}}, "10.0.0.5", V{true, 2}},
      {"then oldest that spoke", {{"10.0.0.1", I}, {"10.0.0.2", T}, {"10.0.0.3", T}, {"10.0.0.4", I}}, "10.0.0.5", V{true, 1}},
      {"never an identified one", {{"10.0.0.1", I}, {"10.0.0.2", I}, {"10.0.0.3", I}, {"10.0.0.4", I}}, "10.0.0.5", V{false, {}}},
      {"group full", {{"10.0.0.1", T}, {"10.0.0.2", S}, {"10.0.0.1", S}}, "10.0.0.1", V{true, 2}},
      {"group full, older silent", {{"10.0.0.1", S}, {"10.0.0.1", T}, {"10.0.0.2", S}}, "10.0.0.1", V{true, 0}},
      {"group of identified", {{"10.0.0.1", I}, {"10.0.0.2", S}, {"10.0.0.1", I}}, "10.0.0.1", V{false, {}}},
  };
  for (const auto& [name, pending, newcomer, expected] : cases) {
    EXPECT_EQ(HandshakeEviction::choose(
                  pending.size(), address(newcomer), {.total = 4, .perGroup = 2},
                  [&](std::size_t i) { return address(pending[i].first); },
                  [&](std::size_t i) { return pending[i].second; }),
              expected)
        << name;
  }
}

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
  bool finishHandshake() {
    for (;;) {
      const int rc = SSL_connect(ssl_.get());
      flush();
      if (rc == 1) return true;
      if (SSL_get_error(ssl_.get(), rc) != SSL_ERROR_WANT_READ) return false;
      std::array<char, 4096> buffer;
      std::error_code ec;
      const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
      if (ec) return false;
      BIO_write(in_, buffer.data(), static_cast<int>(n));
    }
  }
  // Whether the host closed the connection within `waitMs`, without sending anything.
  bool closed(int waitMs = 5000) {
    pollfd p{socket_.native_handle(), POLLIN, 0};
    char byte;
    return poll(&p, 1, waitMs) == 1 && recv(p.fd, &byte, 1, 0) <= 0;
  }

 private:
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

// The host is held up while the connections queue, so each is judged on what it sent.
TEST(PendingHandshakes, SilentNewcomersDropTheNewestSilentOneAndFailuresCostOneLine) {
  LogCapture log;
  const Bytes key = *SecureChannel::generateKey();
  IoThread server("server");
  TcpListener listener(server.context());
  ASSERT_FALSE(listener.open(0));
  std::promise<Progress> ready;
  auto handshakes = std::make_shared<PendingHandshakes>(
      SecureChannel::parameters(key).tls, PendingHandshakes::Limits{.total = 3, .perGroup = 2},
      [&](std::unique_ptr<MessageChannel> channel) { ready.set_value(channel->handshakeProgress()); });
  std::promise<void> release;
  server.post([&] {
    listener.startAccepting([&](asio::ip::tcp::socket s) { handshakes->admit(std::move(s)); }, nullptr);
  });
  server.post([held = release.get_future().share()] { held.wait(); });

  asio::io_context io;
  SteppedClient silent1(io, "127.0.0.2", listener.port());
  SteppedClient paired(io, "127.0.0.3", listener.port());
  paired.hello(SecureChannel::clientContext(key));
  SteppedClient halfSent(io, "127.0.0.4", listener.port());
  halfSent.say("\x16");
  SteppedClient silent2(io, "127.0.0.5", listener.port());
  SteppedClient silent3(io, "127.0.0.6", listener.port());
  release.set_value();

  EXPECT_TRUE(silent1.closed());
  EXPECT_TRUE(silent2.closed());
  ASSERT_TRUE(paired.finishHandshake());
  EXPECT_EQ(ready.get_future().get(), Progress::identified);
  EXPECT_FALSE(halfSent.closed(0));

  std::promise<void> cleared;
  server.post([&] {
    listener.close();
    handshakes->clear();
    cleared.set_value();
  });
  cleared.get_future().wait();
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u) << "the failures are summed up, the ready one is told in full";
  EXPECT_EQ(lines[2], "QuorinRemote: connection READY");
  // silent3 may have met its deadline by now.
  const std::string summary = lines[3].substr(kLogPrefix.size());
  EXPECT_GE(std::stoi(summary), 2);
  EXPECT_TRUE(summary.find(" connections failed their handshake in the last 10 s (last: ") != std::string::npos)
      << summary;
}

}  // namespace
}  // namespace quorin
