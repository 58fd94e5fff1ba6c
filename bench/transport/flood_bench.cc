// Can the paired phone get in while strangers flood the port? A real TcpListener and
// PendingHandshakes with the host's limits serve TLS-PSK on loopback; 20 paired handshakes
// from 127.0.0.1 start one every 100 ms into each flood, and each counts when it completes
// within 3 s. Floods of silent connections from 127.0.0.2-250:
//   rate    opened at a fixed rate, closed by us only when the host closes them
//   reopen  a fixed number of sockets, each reopened as soon as the host closes it
// Every flood stops at its time limit or its connection limit, whichever comes first. Also
// printed: the process RSS (server, clients and flood together; the flood holds only
// descriptors), the log lines written, and the CPU the listener spends while it is out of
// descriptors.
// Usage: flood_bench [connections-per-second] [reopen-sockets]   (defaults 10000, 1000)

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>
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
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    const int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    const sockaddr_in from = loopback(0x7F000002 + opened_ % 249, 0);  // 127.0.0.2-250
    const sockaddr_in to = loopback(INADDR_LOOPBACK, port_);
    bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
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

struct Result {
  int paired = 0;
  double floodPerSecond = 0;
  long peakRssKiB = 0;
  long logLines = 0;
};

Result runFlood(int perSecond, int reopenSockets) {
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
    Flood flood(listener.port(), perSecond, reopenSockets);
    std::this_thread::sleep_for(kFloodBeforePaired);

    std::atomic<int> inTime{0};
    std::vector<std::unique_ptr<MessageChannel>> channels(kPaired);  // touched on the client thread only
    for (int i = 0; i < kPaired; ++i) {
      const auto begun = Clock::now();
      connectChannel(client.context(), "127.0.0.1", listener.port(), SecureChannel::clientContext(key),
                     kPairedLimit, [&, i, begun](std::error_code ec, std::unique_ptr<MessageChannel> channel) {
                       if (ec) return;
                       channels[i] = std::move(channel);
                       channels[i]->handshake([&, begun](std::error_code ec) {
                         if (!ec && Clock::now() - begun <= kPairedLimit) ++inTime;
                       });
                     });
      std::this_thread::sleep_for(kPairedSpacing);
    }
    while (Clock::now() - start < kFloodLimit) {
      result.peakRssKiB = std::max(result.peakRssKiB, rssKiB("VmRSS:"));
      std::this_thread::sleep_for(100ms);
    }
    result.paired = inTime;
    result.floodPerSecond = flood.opened() / std::chrono::duration<double>(Clock::now() - start).count();
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
  const int perSecond = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int reopenSockets = argc > 2 ? std::atoi(argv[2]) : 1000;
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;  // the flood's own ends of its connections
  setrlimit(RLIMIT_NOFILE, &files);

  std::printf("limits: %zu pending handshakes, %zu per address group; RSS before: %ld MiB\n",
              PendingHandshakes::kDefaultLimits.total, PendingHandshakes::kDefaultLimits.perGroup,
              rssKiB("VmRSS:") / 1024);
  std::printf("%-34s %12s %12s %13s %10s\n", "flood", "paired<=3s", "conn/s", "peak RSS MiB", "log lines");
  auto print = [](const std::string& name, const Result& r) {
    std::printf("%-34s %9d/%d %12.0f %13.1f %10ld\n", name.c_str(), r.paired, kPaired, r.floodPerSecond,
                r.peakRssKiB / 1024.0, r.logLines);
    std::fflush(stdout);
  };
  print(std::to_string(perSecond) + "/s from 249 addresses", runFlood(perSecond, 0));
  print(std::to_string(reopenSockets) + " sockets reopened at once", runFlood(0, reopenSockets));
  std::printf("process VmHWM: %ld MiB\n", rssKiB("VmHWM:") / 1024);
  std::printf("CPU while out of descriptors: %.1f%% of a core\n", starvedCpuPercent());
}
