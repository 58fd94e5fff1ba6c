#include "transport/message_channel.h"

#include <gtest/gtest.h>

#include <asio/read.hpp>
#include <asio/write.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <thread>

#include "fakes/log_capture.h"
#include "protocol/byte_order.h"
#include "protocol/control_messages.h"
#include "protocol/frame.h"
#include "transport/channel_harness.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

const std::string kFailed = "QuorinRemote: connection FAILED — ";

Bytes testKey() { return *SecureChannel::generateKey(); }

// A raw TCP connection to the harness, for peers that do not speak our TLS.
asio::ip::tcp::socket rawConnect(asio::io_context& io, std::uint16_t port) {
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  return socket;
}

// A cancel says goodbye with close_notify, so the peer sees an orderly end after the last bytes;
// a connection that simply goes away is a broken link.
TEST(MessageChannel, PairedPeersKeepFramesWholeAndInOrderUntilOnlyACancelEndsOrderly) {
  LogCapture log;
  const Bytes key = testKey();
  EXPECT_EQ(key.size(), 32u);
  EXPECT_NE(key, testKey()) << "keys must be random";
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  auto& serverSide = harness.serverSide;
  Recorder client;
  auto channel = harness.connect(SecureChannel::clientContext(key), client);
  ASSERT_TRUE(client.waitForEvent("ready") && serverSide.waitForEvent("ready"));
  auto server = harness.serverChannel();
  for (const char* line : {"setup", "preparing (resolving + handshake)", "READY"}) {
    EXPECT_TRUE(log.contains(std::string("QuorinRemote: connection ") + line)) << line;
  }

  // Sizes from tiny to several TLS records; every byte says who sent it, the last four when.
  constexpr int kThreads = 4, kFrames = 300;
  auto sizeOf = [](int t, std::uint32_t i) { return 1u + (i * 7919 + t * 104729) % 40000; };
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < kFrames; ++i) {
        Bytes payload(sizeOf(t, i), static_cast<std::uint8_t>(t));
        appendBigEndian(payload, i);
        server->send(MessageType::videoFrame, payload);
      }
    });
  }
  for (auto& s : senders) s.join();
  ASSERT_TRUE(client.waitForMessages(kThreads * kFrames, 30s));
  std::vector<std::uint32_t> next(kThreads, 0);
  for (const auto& [type, payload] : client.messages()) {
    const int t = payload[0];
    ASSERT_TRUE(type == MessageType::videoFrame && t < kThreads);
    const std::size_t size = payload.size() - 4;
    ASSERT_EQ(size, sizeOf(t, next[t]));
    EXPECT_EQ(*readBigEndian<std::uint32_t>(payload, size), next[t]++);
    ASSERT_TRUE(std::all_of(payload.begin(), payload.begin() + size, [t](int b) { return b == t; }));
  }
  EXPECT_EQ(server->queuedBytes(), 0u);

  channel->sendJSON(MessageType::input, InputEvent{});
  channel->cancel();
  ASSERT_TRUE(client.waitForEvent("close:") && serverSide.waitForEvent("close:"));
  auto events = serverSide.events();
  EXPECT_EQ(std::vector(events.end() - 2, events.end()), (std::vector<std::string>{"message", "close:"}));
  EXPECT_EQ(serverSide.messages(),
            (std::vector<Recorder::Message>{{MessageType::input, bytesOf(R"({"kind":"mouseMove"})")}}));

  // Cancelling the server side afterwards reports once more, then never again.
  server->cancel();
  server->cancel();
  ASSERT_TRUE(serverSide.waitForEvents(events.size() + 1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(serverSide.events().back(), "close:");
  EXPECT_EQ(serverSide.events().size(), events.size() + 1);
  EXPECT_GE(log.count("QuorinRemote: connection cancelled"), 2);

  // The owner lets go: the connection closes quietly, and the peer cannot mistake it for a goodbye.
  harness.dropServerChannels();
  Recorder dropped;
  auto droppedChannel = harness.connect(SecureChannel::clientContext(key), dropped);
  ASSERT_TRUE(serverSide.waitForEvents(events.size() + 2));
  harness.dropServerChannels();
  ASSERT_TRUE(dropped.waitForEvents(2));
  EXPECT_NE(dropped.events().back(), "close:");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(serverSide.events().size(), events.size() + 2);
}

// A standard TLS-PSK client with the key gets in. Neither a wrong key, nor a wrong identity, nor
// a client that insists on TLS 1.3, nor a peer that does not speak TLS does; a silent one is cut
// off well before the handshake's own limit. The server logs none of these failures.
TEST(MessageChannel, OnlyPeersWithTheKeyGetInAndSilentOnesAreCutOffEarly) {
  LogCapture log;
  const Bytes key = testKey();
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  auto& server = harness.serverSide;
  std::string hex;
  for (auto b : key) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  const std::string command =
      "openssl s_client -tls1_2 -nocommands -psk " + hex +
      " -psk_identity com.quorinlabs.QuorinRemote -cipher PSK-AES128-GCM-SHA256 -connect 127.0.0.1:" +
      std::to_string(harness.port()) + " >/dev/null 2>&1";
  // s_client leaves when its stdin ends, so the pipe stays open until the frames arrived.
  FILE* peer = popen(command.c_str(), "w");
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(server.waitForEvent("ready"));
  const std::vector<Recorder::Message> sent{{MessageType::input, bytesOf(R"({"kind":"leftClick"})")},
                                           {MessageType::ping, bytesOf("x")}};
  for (const auto& [type, payload] : sent) {
    fwrite(encodeFrame(type, payload).data(), 1, kFrameHeaderSize + payload.size(), peer);
  }
  fflush(peer);
  EXPECT_TRUE(server.waitForMessages(2));
  pclose(peer);
  EXPECT_TRUE(server.waitForEvent("close:"));
  EXPECT_EQ(server.messages(), sent);

  const std::pair<const char*, std::shared_ptr<TlsContext>> cases[] = {
      {"wrong key", SecureChannel::clientContext(testKey())},
      {"wrong identity", SecureChannel::clientContext(key, "com.example.Other")},
      {"TLS 1.3 only", std::make_shared<TlsContext>(TlsContext::Role::client, key,
                                                    std::string(SecureChannel::kPskIdentity), true)},
  };
  std::size_t closed = server.events().size();
  for (const auto& [name, clientTls] : cases) {
    SCOPED_TRACE(name);
    Recorder client;
    auto channel = harness.connect(clientTls, client);
    ASSERT_TRUE(server.waitForEvents(++closed));
    EXPECT_TRUE(server.events().back().starts_with("close:") && server.events().back() != "close:");
    ASSERT_TRUE(client.waitForEvents(1));
    EXPECT_EQ(client.events(), std::vector{client.closeEvent()}) << "the client must never become ready";
  }

  asio::io_context io;
  auto noisy = rawConnect(io, harness.port());
  asio::write(noisy, asio::buffer(encodeFrame(MessageType::ping, bytesOf("hello there"))));
  ASSERT_TRUE(server.waitForEvents(++closed));
  EXPECT_NE(server.events().back(), "ready");

  auto silent = rawConnect(io, harness.port());
  static_assert(MessageChannel::kHandshakeTimeout > 5s, "the wait must tell the two limits apart");
  ASSERT_TRUE(server.waitForEvents(++closed));
  EXPECT_EQ(server.events().back(), "close:" + std::make_error_code(std::errc::timed_out).message());
  EXPECT_EQ(server.messages().size(), 2u);
  EXPECT_EQ(std::ranges::count_if(log.lines(), [](auto& line) { return line.starts_with(kFailed); }), 3)
      << "only the three clients that were turned away say so";
  EXPECT_EQ(log.count("QuorinRemote: connection setup"), 4) << "the server that became ready, each client";
}

// With TLS switched off the host serves plain TCP, which lets the test hold back reading; it
// works the same under TLS. A peer that stops reading for good is ended, so that its session
// lets go of what the client held.
// A frame's `written` callback runs once the socket took the whole frame, in the order sent, and
// never for a frame that was dropped.
TEST(MessageChannel, ReportsCongestionWhileAPeerDoesNotReadReliefOnceItDoesAndEndsAStalledOne) {
  LogCapture log;
  SecureChannel::setTlsEnabled(false);
  ChannelHarness harness(SecureChannel::parameters(testKey()).tls);
  SecureChannel::setTlsEnabled(true);
  EXPECT_TRUE(log.contains("QuorinRemote: SecureChannel using PLAIN TCP (TLS disabled)"));
  asio::io_context io;
  auto socket = rawConnect(io, harness.port());
  ASSERT_TRUE(harness.serverSide.waitForEvent("ready"));
  auto server = harness.serverChannel();
  const Bytes chunk(64 * 1024, 1);
  constexpr int kFrames = 300;  // far more than the socket buffers hold
  std::mutex writtenMutex;
  std::vector<int> written;  // by the io thread
  std::promise<void> allWritten;
  for (int i = 0; i < kFrames; ++i) {
    server->send(MessageType::videoFrame, chunk, [&, i] {
      std::lock_guard lock(writtenMutex);
      written.push_back(i);
      if (i == kFrames - 1) allWritten.set_value();
    });
  }
  ASSERT_TRUE(harness.serverSide.waitForEvent("congested"));
  EXPECT_GT(server->queuedBytes(), 2 * chunk.size());
  {
    std::lock_guard lock(writtenMutex);
    EXPECT_LT(written.size(), std::size_t(kFrames)) << "frames still queued are not written";
  }
  std::vector<std::uint8_t> sink(kFrames * (chunk.size() + 5));
  asio::read(socket, asio::buffer(sink));
  EXPECT_TRUE(harness.serverSide.waitForEvent("relieved"));
  ASSERT_EQ(allWritten.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(server->queuedBytes(), 0u);
  {
    std::lock_guard lock(writtenMutex);
    std::vector<int> inOrder(kFrames);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(written, inOrder);
  }

  ChannelHarness stalling(nullptr, 100ms);
  auto frozen = rawConnect(io, stalling.port());
  ASSERT_TRUE(stalling.serverSide.waitForEvent("ready"));
  std::atomic<int> stalledWritten{0};
  for (int i = 0; i < kFrames; ++i) {
    stalling.serverChannel()->send(MessageType::videoFrame, chunk, [&] { ++stalledWritten; });
  }
  EXPECT_TRUE(stalling.serverSide.waitForEvent("close:" + std::make_error_code(std::errc::timed_out).message()));
  EXPECT_LT(stalledWritten.load(), kFrames) << "dropped frames are not reported written";
  EXPECT_EQ(harness.serverSide.closeEvent(), "") << "a peer that reads, however late, is not stalled";
}

// Out of descriptors, a waiting connection makes every accept fail at once; how little the
// listener spins meanwhile is bench/transport/flood_bench's figure.
TEST(TcpListener, BacksOffWhileOutOfDescriptorsAndAcceptsAgainAfterwards) {
  LogCapture log;
  ChannelHarness harness(nullptr);
  asio::io_context io;
  asio::ip::tcp::socket peer(io, asio::ip::tcp::v4());
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit low{256, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> filler;
  for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
  peer.connect({asio::ip::make_address("127.0.0.1"), harness.port()});

  std::this_thread::sleep_for(500ms);
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(harness.serverSide.waitForEvent("ready"));
  EXPECT_EQ(log.count("QuorinRemote: accept failed, retrying: Too many open files"), 1);
}

}  // namespace
}  // namespace quorin
