// Framed TLS-PSK on loopback: throughput of 64 KiB frames from host to client, and the
// round trip of a small message (client -> host -> client).
// Usage: transport_bench [seconds-of-throughput] [round-trips]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/io_thread.h"
#include "base/log.h"
#include "transport/client_connector.h"
#include "transport/message_channel.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

using namespace quorin;
using Clock = std::chrono::steady_clock;

namespace {

struct Link {
  IoThread serverThread{"server"};
  IoThread clientThread{"client"};
  TcpListener listener{serverThread.context()};
  std::shared_ptr<MessageChannel> server;
  std::unique_ptr<MessageChannel> client;
};

// Connects a client to a fresh listener; `onServerMessage` and `onClientMessage` are installed
// before the channels start.
void connect(Link& link, const Bytes& key, std::function<void(MessageType, Bytes)> onServerMessage,
             std::function<void(MessageType, Bytes)> onClientMessage) {
  link.listener.open(0);
  std::promise<void> serverReady;
  std::promise<void> clientReady;
  link.serverThread.post([&] {
    link.listener.startAccepting(
        [&](asio::ip::tcp::socket socket) {
          link.server = std::make_shared<MessageChannel>(std::move(socket),
                                                         SecureChannel::parameters(key).tls);
          link.server->onMessage = onServerMessage;
          link.server->onReady = [&] { serverReady.set_value(); };
          link.server->start();
        },
        nullptr);
  });
  std::promise<std::unique_ptr<MessageChannel>> connected;
  connectChannel(link.clientThread.context(), "127.0.0.1", link.listener.port(),
                 SecureChannel::clientContext(key), std::chrono::seconds(5),
                 [&](std::error_code, std::unique_ptr<MessageChannel> c) { connected.set_value(std::move(c)); });
  link.client = connected.get_future().get();
  link.client->onMessage = onClientMessage;
  link.client->onReady = [&] { clientReady.set_value(); };
  link.client->start();
  serverReady.get_future().wait();
  clientReady.get_future().wait();
}

double throughputMBps(const Bytes& key, double seconds) {
  Link link;
  std::atomic<std::uint64_t> received{0};
  connect(link, key, nullptr, [&](MessageType, Bytes payload) { received += payload.size() + 5; });
  const Bytes frame(64 * 1024, 0x5A);
  std::uint64_t sent = 0;
  const auto start = Clock::now();
  const auto stop = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < stop) {
    // Keep a few frames in flight so the socket never idles and memory stays bounded.
    if (link.server->queuedBytes() < 1u << 20) {
      link.server->send(MessageType::videoFrame, frame);
      sent += frame.size() + 5;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  while (received < sent) std::this_thread::sleep_for(std::chrono::microseconds(50));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  link.client.reset();
  link.server.reset();
  return double(sent) / elapsed / 1e6;
}

std::vector<double> roundTripsMicros(const Bytes& key, int count) {
  Link link;
  std::mutex mutex;
  std::condition_variable answered;
  int answers = 0;
  MessageChannel* server = nullptr;
  connect(
      link, key,
      [&](MessageType, Bytes payload) { server->send(MessageType::hello, payload); },
      [&](MessageType, Bytes) {
        std::lock_guard lock(mutex);
        ++answers;
        answered.notify_one();
      });
  server = link.server.get();
  const Bytes message(16, 0x42);
  std::vector<double> micros;
  micros.reserve(count);
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    link.client->send(MessageType::input, message);
    std::unique_lock lock(mutex);
    answered.wait(lock, [&] { return answers > i; });
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  link.client.reset();
  link.server.reset();
  return micros;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, std::size_t(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 3.0;
  const int trips = argc > 2 ? std::stoi(argv[2]) : 20000;
  const Bytes key = *SecureChannel::generateKey();
  setLogSink([](const std::string&) {});  // connection lines would swamp the figures

  const double mbps = throughputMBps(key, seconds);
  auto rtt = roundTripsMicros(key, trips);
  std::printf("| measure | value |\n|---|---|\n");
  std::printf("| throughput, 64 KiB frames, TLS-PSK loopback | %.0f MB/s |\n", mbps);
  std::printf("| round trip, 16-byte message, p50 | %.1f us |\n", percentile(rtt, 0.50));
  std::printf("| round trip, 16-byte message, p99 | %.1f us |\n", percentile(rtt, 0.99));
  return 0;
}
