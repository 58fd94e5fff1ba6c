#include "transport/message_channel.h"

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "fakes/log_capture.h"
#include "protocol/byte_order.h"
#include "protocol/control_messages.h"
#include "protocol/frame.h"
#include "transport/channel_harness.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

Bytes testKey() { return *SecureChannel::generateKey(); }

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// A raw TCP connection to the harness, for peers that do not speak our TLS.
asio::ip::tcp::socket rawConnect(asio::io_context& io, std::uint16_t port) {
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  return socket;
}

TEST(MessageChannel, PairedPeersExchangeFramesBothWays) {
  LogCapture log;
  const Bytes key = testKey();
  EXPECT_EQ(key.size(), 32u);
  EXPECT_NE(key, testKey()) << "keys must be random";
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  Recorder client;
  auto channel = harness.connect(SecureChannel::clientContext(key), client);
  ASSERT_TRUE(channel);
  ASSERT_TRUE(client.waitForEvent("ready"));
  ASSERT_TRUE(harness.serverSide.waitForEvent("ready"));

  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  channel->send(MessageType::ping, {});
  harness.serverChannel()->sendJSON(MessageType::hello, HelloMessage{"host", 1920, 1080});

  ASSERT_TRUE(harness.serverSide.waitForMessages(2));
  ASSERT_TRUE(client.waitForMessages(1));
  const auto received = harness.serverSide.messages();
  EXPECT_EQ(received[0].first, MessageType::system);
  EXPECT_EQ(textOf(received[0].second), R"({"action":"lock"})");
  EXPECT_EQ(received[1].first, MessageType::ping);
  EXPECT_EQ(json::decodeJson<HelloMessage>(client.messages()[0].second)->screenWidth, 1920);
  EXPECT_EQ(harness.serverSide.events().front(), "ready");  // ready before any message
  EXPECT_TRUE(log.contains("QuorinRemote: connection setup"));
  EXPECT_TRUE(log.contains("QuorinRemote: connection preparing (resolving + handshake)"));
  EXPECT_TRUE(log.contains("QuorinRemote: connection READY"));
  EXPECT_TRUE(startsWith(harness.serverChannel()->remoteEndpoint(), "127.0.0.1:"));
}

TEST(MessageChannel, RefusesEveryPeerWithoutTheKey) {
  const Bytes key = testKey();
  const std::pair<const char*, std::shared_ptr<TlsContext>> cases[] = {
      {"wrong key", SecureChannel::clientContext(testKey())},
      {"wrong identity", SecureChannel::clientContext(key, "com.example.Other")},
      {"TLS 1.3 only", std::make_shared<TlsContext>(TlsContext::Role::client, key,
                                                    std::string(SecureChannel::kPskIdentity), true)},
  };
  for (const auto& [name, clientTls] : cases) {
    SCOPED_TRACE(name);
    LogCapture log;
    ChannelHarness harness(SecureChannel::parameters(key).tls);
    Recorder client;
    auto channel = harness.connect(clientTls, client);
    ASSERT_TRUE(harness.serverSide.waitFor(
        [](auto& events, auto&) { return !events.empty(); }));
    const auto events = harness.serverSide.events();
    EXPECT_TRUE(startsWith(events[0], "close:") && events[0] != "close:") << events[0];
    EXPECT_TRUE(client.waitFor([](auto& events, auto&) {
      return !events.empty() && startsWith(events.back(), "close:");
    }));
    EXPECT_EQ(client.events().size(), 1u) << "the client must never become ready";
    EXPECT_TRUE(std::ranges::any_of(log.lines(), [](const std::string& line) {
      return startsWith(line, "QuorinRemote: connection FAILED — ");
    }));
  }
}

TEST(MessageChannel, PeersThatDoNotSpeakTlsAreRefusedTheSilentOnesWithinTwoSeconds) {
  LogCapture log;
  ChannelHarness harness(SecureChannel::parameters(testKey()).tls);
  asio::io_context io;
  auto noisy = rawConnect(io, harness.port());
  asio::write(noisy, asio::buffer(encodeFrame(MessageType::ping, bytesOf("hello there"))));
  ASSERT_TRUE(harness.serverSide.waitFor([](auto& events, auto&) { return !events.empty(); }));
  EXPECT_NE(harness.serverSide.events()[0], "ready");

  auto silent = rawConnect(io, harness.port());
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(harness.serverSide.waitFor([](auto& events, auto&) { return events.size() == 2; }));
  const auto waited = std::chrono::steady_clock::now() - started;
  const std::string timedOut = std::make_error_code(std::errc::timed_out).message();
  EXPECT_EQ(harness.serverSide.events()[1], "close:" + timedOut);
  EXPECT_TRUE(log.contains("QuorinRemote: connection FAILED — " + timedOut));
  EXPECT_GE(waited, 1500ms);
  EXPECT_LT(waited, 4s);
  EXPECT_TRUE(harness.serverSide.messages().empty());
}

TEST(MessageChannel, OpensslCommandLineClientReachesReadyAndItsBytesArriveAsFrames) {
  const Bytes key = testKey();
  LogCapture log;
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  std::string hex;
  for (auto b : key) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  const std::string command =
      "openssl s_client -tls1_2 -nocommands -psk " + hex +
      " -psk_identity com.quorinlabs.QuorinRemote -cipher PSK-AES128-GCM-SHA256 -connect 127.0.0.1:" +
      std::to_string(harness.port()) + " >/dev/null 2>&1";
  // s_client leaves when its stdin ends, so the pipe stays open until the frames arrived.
  FILE* peer = popen(command.c_str(), "w");
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(harness.serverSide.waitForEvent("ready"));
  Bytes bytes = encodeFrame(MessageType::input, bytesOf(R"({"kind":"leftClick"})"));
  const Bytes ping = encodeFrame(MessageType::ping, bytesOf("x"));
  bytes.insert(bytes.end(), ping.begin(), ping.end());
  fwrite(bytes.data(), 1, bytes.size(), peer);
  fflush(peer);
  EXPECT_TRUE(harness.serverSide.waitForMessages(2));
  pclose(peer);
  EXPECT_TRUE(harness.serverSide.waitForEvent("close:"));
  const auto messages = harness.serverSide.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].first, MessageType::input);
  EXPECT_EQ(textOf(messages[0].second), R"({"kind":"leftClick"})");
  EXPECT_EQ(messages[1].first, MessageType::ping);
}

// With TLS switched off the host serves plain TCP, which lets the test write a lying header;
// the cut-off is the same under TLS.
TEST(MessageChannel, TlsOffServesPlainTcpAndAnOversizeFrameEndsTheConnection) {
  LogCapture log;
  SecureChannel::setTlsEnabled(false);
  auto plain = SecureChannel::parameters(testKey());
  SecureChannel::setTlsEnabled(true);
  ASSERT_FALSE(plain.tls);
  EXPECT_TRUE(log.contains("QuorinRemote: SecureChannel using PLAIN TCP (TLS disabled)"));
  ChannelHarness harness(plain.tls);
  asio::io_context io;
  auto socket = rawConnect(io, harness.port());
  ASSERT_TRUE(harness.serverSide.waitForEvent("ready"));
  Bytes bytes = encodeFrame(MessageType::ping, {});
  bytes.push_back(rawValue(MessageType::input));
  appendBigEndian<std::uint32_t>(bytes, (64u << 20) + 1);
  bytes.resize(bytes.size() + 1000, 0);
  asio::write(socket, asio::buffer(bytes));
  const std::string tooLong = std::make_error_code(std::errc::message_size).message();
  ASSERT_TRUE(harness.serverSide.waitForEvent("close:" + tooLong));
  EXPECT_EQ(harness.serverSide.messages().size(), 1u);  // the ping before it still arrived
  EXPECT_TRUE(log.contains("QuorinRemote: connection FAILED — " + tooLong));
  // The server closed its side: the peer reads the end.
  std::error_code ec;
  std::array<char, 16> sink{};
  socket.read_some(asio::buffer(sink), ec);
  EXPECT_EQ(ec, asio::error::eof);
}

TEST(MessageChannel, ReportsCongestionWhileAPeerDoesNotReadAndReliefOnceItDoes) {
  ChannelHarness harness(nullptr);
  asio::io_context io;
  auto socket = rawConnect(io, harness.port());
  ASSERT_TRUE(harness.serverSide.waitForEvent("ready"));
  auto server = harness.serverChannel();
  const Bytes chunk(64 * 1024, 1);
  constexpr int kFrames = 300;  // far more than the socket buffers hold
  for (int i = 0; i < kFrames; ++i) server->send(MessageType::videoFrame, chunk);
  ASSERT_TRUE(harness.serverSide.waitForEvent("congested"));
  EXPECT_GT(server->queuedBytes(), 2 * chunk.size());

  std::vector<std::uint8_t> sink(kFrames * (chunk.size() + 5));
  asio::read(socket, asio::buffer(sink));
  EXPECT_TRUE(harness.serverSide.waitForEvent("relieved"));
  EXPECT_EQ(server->queuedBytes(), 0u);
}

// A cancel says goodbye with close_notify, so the peer sees an orderly end; a connection that
// simply goes away is a broken link.
TEST(MessageChannel, OnlyACancelEndsOrderlyAndTheLastBytesArriveFirst) {
  LogCapture log;
  const Bytes key = testKey();
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  {
    Recorder client;
    auto channel = harness.connect(SecureChannel::clientContext(key), client);
    ASSERT_TRUE(client.waitForEvent("ready"));
    channel->send(MessageType::input, bytesOf(R"({"kind":"mouseUp"})"));
    channel->cancel();
    ASSERT_TRUE(client.waitForEvent("close:"));
  }
  ASSERT_TRUE(harness.serverSide.waitForEvent("close:"));
  EXPECT_EQ(harness.serverSide.events(),
            (std::vector<std::string>{"ready", "message", "close:"}));

  // Cancelling the server side afterwards reports once more, then never again.
  auto server = harness.serverChannel();
  server->cancel();
  server->cancel();
  ASSERT_TRUE(harness.serverSide.waitFor([](auto& events, auto&) { return events.size() == 4; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(harness.serverSide.events().back(), "close:");
  EXPECT_EQ(harness.serverSide.events().size(), 4u);
  EXPECT_GE(log.count("QuorinRemote: connection cancelled"), 2);

  // The owner lets go: the connection closes quietly, and the peer cannot mistake it for a goodbye.
  harness.dropServerChannels();
  Recorder dropped;
  auto channel = harness.connect(SecureChannel::clientContext(key), dropped);
  ASSERT_TRUE(harness.serverSide.waitFor([](auto& events, auto&) { return events.size() == 5; }));
  harness.dropServerChannels();
  ASSERT_TRUE(dropped.waitFor([](auto& events, auto&) { return events.size() == 2; }));
  EXPECT_NE(dropped.events().back(), "close:");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(harness.serverSide.events().size(), 5u);
}

TEST(MessageChannel, ConcurrentSendersKeepEveryFrameWholeAndInOrder) {
  const Bytes key = testKey();
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  Recorder client;
  auto channel = harness.connect(SecureChannel::clientContext(key), client);
  ASSERT_TRUE(harness.serverSide.waitForEvent("ready"));
  auto server = harness.serverChannel();

  constexpr int kThreads = 4;
  constexpr int kFrames = 300;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        // Sizes from tiny to several TLS records; every byte says who sent it and when.
        Bytes payload(1 + (i * 7919 + t * 104729) % 40000, static_cast<std::uint8_t>(t));
        payload[0] = static_cast<std::uint8_t>(t);
        appendBigEndian<std::uint32_t>(payload, static_cast<std::uint32_t>(i));
        server->send(MessageType::videoFrame, payload);
      }
    });
  }
  for (auto& s : senders) s.join();
  ASSERT_TRUE(client.waitForMessages(kThreads * kFrames, 30s));
  std::vector<std::uint32_t> next(kThreads, 0);
  for (const auto& [type, payload] : client.messages()) {
    ASSERT_EQ(type, MessageType::videoFrame);
    const int t = payload[0];
    ASSERT_LT(t, kThreads);
    const std::size_t size = payload.size() - 4;
    EXPECT_EQ(*readBigEndian<std::uint32_t>(payload, size), next[t]);
    const int i = static_cast<int>(next[t]++);
    ASSERT_EQ(size, 1u + (i * 7919 + t * 104729) % 40000);
    for (std::size_t k = 1; k < size; ++k) ASSERT_EQ(payload[k], t);
  }
  EXPECT_EQ(server->queuedBytes(), 0u);
}

// Out of descriptors, a waiting connection makes every accept fail at once.
TEST(TcpListener, BacksOffWhileOutOfDescriptorsAndAcceptsAgainAfterwards) {
  LogCapture log;
  IoThread io("server");
  TcpListener listener(io.context());
  ASSERT_FALSE(listener.open(0));
  std::atomic<int> accepted{0};
  io.post([&] { listener.startAccepting([&](asio::ip::tcp::socket) { ++accepted; }, nullptr); });

  asio::io_context client;
  asio::ip::tcp::socket peer(client);
  peer.open(asio::ip::tcp::v4());
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 256;
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> filler;
  for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
  peer.connect({asio::ip::make_address("127.0.0.1"), listener.port()});

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(500ms);
  getrusage(RUSAGE_SELF, &after);
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  EXPECT_LT(cpuMs(after) - cpuMs(before), 100) << "the listener spins";
  for (int i = 0; i < 100 && accepted == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(log.lines().size(), 1u);
  std::promise<void> closed;
  io.post([&] {
    listener.close();
    closed.set_value();
  });
  closed.get_future().wait();
}

}  // namespace
}  // namespace quorin
