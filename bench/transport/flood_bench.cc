// Can the paired phone get in while strangers attack the port? A real TcpListener and
// PendingHandshakes with the host's limits serve TLS-PSK on loopback. The phone makes 20
// paired handshakes from 127.0.0.1, one every 100 ms from 2.5 s into the attack; like a real
// phone on Wi-Fi it waits 0, 5, 20 or 50 ms between connect and its ClientHello. A handshake
// counts when it completes within 3 s of its connect. The attacks:
//   N/s     silent connections from 127.0.0.2-250 opened at a fixed rate, closed by us only
//           when the host closes them; one that reached less than 90% of its rate is not
//           measured
//   reopen  1000 silent sockets from the same addresses, each reopened once the host closes it
//   stall   128 connections from 127.0.0.2-9 that send ClientHello and the ClientKeyExchange
//           with the (public) identity, then nothing; each reopened once the host closes it
// Every attack stops at its time limit or its connection limit, whichever comes first. Also
// printed: the process RSS (server, clients and attack together; the attack holds only
// descriptors), the log lines written, and the CPU the listener spends while it is out of
// descriptors.
// Usage: flood_bench [attack [delay-ms]]   attack: 100, 1000, 10000, reopen or stall;
//                                          without arguments, the whole table

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "base/io_thread.h"
#include "base/log.h"
#include "transport/client_connector.h"
#include "transport/pending_handshakes.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

using namespace quorin;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPaired = 20;
constexpr auto kPairedLimit = 3s;
constexpr auto kPairedSpacing = 100ms;
constexpr auto kFloodBeforePaired = 2500ms;  // the table is full and the first silent ones time out
constexpr auto kFloodLimit = kFloodBeforePaired + kPaired * kPairedSpacing + kPairedLimit;
constexpr long kConnectionLimit = 400'000;
constexpr int kStalled = 128;
constexpr int kStallAddresses = 8;

long rssKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field)) return std::atol(line.c_str() + std::string_view(field).size());
  }
  return 0;
}

sockaddr_in loopback(std::uint32_t hostOrder, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(hostOrder);
  return address;
}

// A socket bound to a loopback source address, its port picked at connect.
int socketFrom(std::uint32_t hostOrder, int flags) {
  const int fd = socket(AF_INET, SOCK_STREAM | flags, 0);
  if (fd < 0) return fd;
  const int one = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  const sockaddr_in from = loopback(hostOrder, 0);
  bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  return fd;
}

// Silent connections from 127.0.0.2-250 on one thread; a socket the host closed is closed
// here too and, under `reopen`, replaced at once.
class Flood {
 public:
  Flood(std::uint16_t port, int perSecond, int reopenSockets)
      : port_(port), perSecond_(perSecond), reopen_(reopenSockets), thread_([this] { run(); }) {}
  ~Flood() {
    stop_ = true;
    thread_.join();
  }
  long opened() const { return opened_; }

 private:
  void open() {
    ++opened_;
    const int fd = socketFrom(0x7F000002 + opened_ % 249, SOCK_NONBLOCK);  // 127.0.0.2-250
    if (fd < 0) return;
    const sockaddr_in to = loopback(INADDR_LOOPBACK, port_);
    connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    epoll_event event{.events = EPOLLIN | EPOLLRDHUP, .data = {.fd = fd}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    fds_.insert(fd);
  }

  void run() {
    epoll_ = epoll_create1(0);
    const auto start = Clock::now();
    if (reopen_ > 0) {
      for (int i = 0; i < reopen_; ++i) open();
    }
    std::vector<epoll_event> events(1024);
    while (!stop_ && Clock::now() - start < kFloodLimit && opened_ < kConnectionLimit) {
      if (reopen_ == 0) {
        const double due = std::chrono::duration<double>(Clock::now() - start).count() * perSecond_;
        while (opened_ < due) open();
      }
      const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 1);
      for (int i = 0; i < n; ++i) {
        close(events[i].data.fd);
        fds_.erase(events[i].data.fd);
        if (reopen_ > 0) open();
      }
    }
    for (int fd : fds_) close(fd);
    close(epoll_);
  }

  std::uint16_t port_;
  int perSecond_;
  int reopen_;
  int epoll_ = -1;
  std::unordered_set<int> fds_;
  std::atomic<long> opened_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Connections that present the identity and stall, on one thread with blocking sockets: a
// TLS client with the identity and a wrong key whose handshake is cut after the
// ClientKeyExchange (the first record of its second flight).
class StallAttack {
 public:
  explicit StallAttack(std::uint16_t port)
      : port_(port), tls_(SecureChannel::clientContext(*SecureChannel::generateKey())), thread_([this] { run(); }) {}
  ~StallAttack() {
    stop_ = true;
    thread_.join();
  }
  long opened() const { return opened_; }
  long stalled() const { return stalled_; }

 private:
  // The socket, stalled if all went well, else for poll to find closed.
  int open(int index) {
    ++opened_;
    const int fd = socketFrom(0x7F000002 + index % kStallAddresses, 0);
    if (fd < 0) return fd;
    const timeval limit{.tv_sec = 1, .tv_usec = 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const sockaddr_in to = loopback(INADDR_LOOPBACK, port_);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return fd;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(tls_->native().native_handle()), &SSL_free);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl.get(), in, out);
    SSL_connect(ssl.get());
    char* data = nullptr;
    send(fd, data, BIO_get_mem_data(out, &data), MSG_NOSIGNAL);  // ClientHello
    (void)BIO_reset(out);
    std::array<char, 4096> buffer;
    while (BIO_get_mem_data(out, &data) == 0) {
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) return fd;
      BIO_write(in, buffer.data(), static_cast<int>(n));
      SSL_connect(ssl.get());
    }
    const auto* record = reinterpret_cast<const unsigned char*>(data);
    if (send(fd, data, 5u + (record[3] << 8 | record[4]), MSG_NOSIGNAL) > 0) ++stalled_;
    return fd;
  }

  void run() {
    const auto start = Clock::now();
    std::vector<pollfd> fds(kStalled, pollfd{-1, POLLIN, 0});
    while (!stop_ && Clock::now() - start < kFloodLimit && opened_ < kConnectionLimit) {
      for (int i = 0; i < kStalled; ++i) {
        if (fds[i].fd < 0) fds[i].fd = open(i);
      }
      if (poll(fds.data(), fds.size(), 10) <= 0) continue;
      for (pollfd& p : fds) {
        if (p.fd < 0 || !p.revents) continue;  // a stalled connection hears nothing until closed
        close(p.fd);
        p.fd = -1;
      }
    }
    for (const pollfd& p : fds) {
      if (p.fd >= 0) close(p.fd);
    }
  }

  std::uint16_t port_;
  std::shared_ptr<TlsContext> tls_;
  std::atomic<long> opened_{0};
  std::atomic<long> stalled_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Attack {
  std::string key;  // as given on the command line
  std::string name;
  int perSecond = 0;
  int reopenSockets = 0;
  bool stall = false;
};

struct Result {
  int paired = 0;
  double perSecond = 0;  // connections the attack opened
  long stalled = 0;
  long peakRssKiB = 0;
  long logLines = 0;
};

Result runAttack(const Attack& attack, std::chrono::milliseconds phoneDelay) {
  const Bytes key = *SecureChannel::generateKey();
  std::atomic<long> logLines{0};
  setLogSink([&](const std::string&) { ++logLines; });
  Result result;
  {
    IoThread server("server");
    IoThread client("client");
    TcpListener listener(server.context());
    listener.open(0);
    auto handshakes = std::make_shared<PendingHandshakes>(SecureChannel::parameters(key).tls,
                                                          PendingHandshakes::kDefaultLimits, nullptr);
    server.post([&] {
      listener.startAccepting([&](asio::ip::tcp::socket s) { handshakes->admit(std::move(s)); }, nullptr);
    });
    const auto start = Clock::now();
    std::optional<Flood> flood;
    std::optional<StallAttack> stall;
    if (attack.stall) {
      stall.emplace(listener.port());
    } else {
      flood.emplace(listener.port(), attack.perSecond, attack.reopenSockets);
    }
    std::this_thread::sleep_for(kFloodBeforePaired);

    std::atomic<int> inTime{0};
    // Touched on the client thread only.
    std::vector<std::unique_ptr<MessageChannel>> channels(kPaired);
    std::vector<std::unique_ptr<asio::steady_timer>> delays(kPaired);
    for (int i = 0; i < kPaired; ++i) {
      const auto begun = Clock::now();
      auto handshake = [&, i, begun] {
        channels[i]->handshake([&, begun](std::error_code ec) {
          if (!ec && Clock::now() - begun <= kPairedLimit) ++inTime;
        });
      };
      connectChannel(client.context(), "127.0.0.1", listener.port(), SecureChannel::clientContext(key),
                     kPairedLimit, [&, i, handshake](std::error_code ec, std::unique_ptr<MessageChannel> channel) {
                       if (ec) return;
                       channels[i] = std::move(channel);
                       if (phoneDelay == 0ms) return handshake();
                       delays[i] = std::make_unique<asio::steady_timer>(client.context(), phoneDelay);
                       delays[i]->async_wait([handshake](std::error_code ec) {
                         if (!ec) handshake();
                       });
                     });
      std::this_thread::sleep_for(kPairedSpacing);
    }
    while (Clock::now() - start < kFloodLimit) {
      result.peakRssKiB = std::max(result.peakRssKiB, rssKiB("VmRSS:"));
      std::this_thread::sleep_for(100ms);
    }
    result.paired = inTime;
    const long opened = flood ? flood->opened() : stall->opened();
    result.perSecond = opened / std::chrono::duration<double>(Clock::now() - start).count();
    if (stall) result.stalled = stall->stalled();
    flood.reset();
    stall.reset();
    std::promise<void> closed;
    server.post([&] {
      listener.close();
      handshakes->clear();
      closed.set_value();
    });
    closed.get_future().wait();
    std::promise<void> dropped;
    client.post([&] {
      channels.clear();
      delays.clear();
      dropped.set_value();
    });
    dropped.get_future().wait();
  }
  result.logLines = logLines;
  setLogSink(nullptr);
  return result;
}

// Process CPU over half a second while a connection waits and every accept fails.
double starvedCpuPercent() {
  IoThread server("server");
  TcpListener listener(server.context());
  listener.open(0);
  server.post([&] { listener.startAccepting([](asio::ip::tcp::socket) {}, nullptr); });
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit low{256, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> filler;
  for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
  close(filler.back());  // room for the waiting peer
  filler.pop_back();
  const int peer = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in to = loopback(INADDR_LOOPBACK, listener.port());
  connect(peer, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  const std::clock_t started = std::clock();
  std::this_thread::sleep_for(500ms);
  const double percent = 100.0 * double(std::clock() - started) / CLOCKS_PER_SEC / 0.5;
  close(peer);
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  std::promise<void> closed;
  server.post([&] {
    listener.close();
    closed.set_value();
  });
  closed.get_future().wait();
  return percent;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Attack> attacks{{"100", "100/s", 100},
                                    {"1000", "1000/s", 1000},
                                    {"10000", "10000/s", 10000},
                                    {"reopen", "1000 reopened", 0, 1000},
                                    {"stall", "stall 128 from 8", 0, 0, true}};
  const std::vector<std::chrono::milliseconds> delays{0ms, 5ms, 20ms, 50ms};
  const std::string onlyAttack = argc > 1 ? argv[1] : "";
  const int onlyDelay = argc > 2 ? std::atoi(argv[2]) : -1;
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;  // the flood's own ends of its connections
  setrlimit(RLIMIT_NOFILE, &files);

  std::printf("limits: %zu pending handshakes, %zu per address group; RSS before: %ld MiB\n",
              PendingHandshakes::kDefaultLimits.total, PendingHandshakes::kDefaultLimits.perGroup,
              rssKiB("VmRSS:") / 1024);
  std::printf("%-18s %9s %11s %9s %13s %10s\n", "attack", "phone ms", "paired<=3s", "conn/s", "peak RSS MiB",
              "log lines");
  for (const Attack& attack : attacks) {
    if (!onlyAttack.empty() && attack.key != onlyAttack) continue;
    for (const auto delay : delays) {
      if (onlyDelay >= 0 && delay.count() != onlyDelay) continue;
      const Result r = runAttack(attack, delay);
      std::string note;
      if (attack.perSecond > 0 && r.perSecond < 0.9 * attack.perSecond) {
        note = "not measured: the flood reached " + std::to_string(int(100 * r.perSecond / attack.perSecond)) +
               "% of its rate";
      } else if (attack.stall) {
        note = std::to_string(r.stalled) + " stalled with the identity";
      }
      std::printf("%-18s %9lld %8d/%d %9.0f %13.1f %10ld  %s\n", attack.name.c_str(),
                  static_cast<long long>(delay.count()), r.paired, kPaired, r.perSecond, r.peakRssKiB / 1024.0,
                  r.logLines, note.c_str());
      std::fflush(stdout);
    }
  }
  std::printf("process VmHWM: %ld MiB\n", rssKiB("VmHWM:") / 1024);
  if (onlyAttack.empty()) std::printf("CPU while out of descriptors: %.1f%% of a core\n", starvedCpuPercent());
}
