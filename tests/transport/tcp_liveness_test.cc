#include "transport/tcp_liveness.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "fakes/log_capture.h"
#include "fakes/require_service.h"
#include "protocol/control_messages.h"
#include "transport/channel_harness.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// Moves the calling thread, and the threads and programs it starts from then on, into a
// network namespace of its own with only loopback up; back on destruction. Nothing sent in
// it can leave it.
class PrivateNetwork {
 public:
  PrivateNetwork() : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
      problem_ = std::string("no network namespace can be made: ") + std::strerror(errno);
      return;
    }
    entered_ = true;
    if (!run("ip link set lo up")) problem_ = "loopback cannot be brought up (is iproute2 installed?)";
  }
  ~PrivateNetwork() {
    if (entered_) ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
  }
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  const std::string& problem() const { return problem_; }

  // Drops, without an answer, every TCP segment from or to `port`: the phone left the network.
  bool cut(const std::string& port) {
    return run("nft add table inet quorin_cut") &&
           run("nft add chain inet quorin_cut input '{ type filter hook input priority 0; }'") &&
           run("nft add rule inet quorin_cut input tcp sport " + port + " drop") &&
           run("nft add rule inet quorin_cut input tcp dport " + port + " drop");
  }

 private:
  static bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }

  int original_;
  bool entered_ = false;
  std::string problem_;
};

// A phone that vanishes mid-drag says nothing, and on a still screen the host writes
// nothing either: keepalive alone must end the connection, saying why.
TEST(TcpLiveness, AVanishedClientOfAQuietHostIsClosedAsTimedOut) {
  PrivateNetwork network;
  QUORIN_REQUIRE(network.problem().empty(), network.problem());
  LogCapture log;
  const Bytes key = *SecureChannel::generateKey();
  ChannelHarness harness(SecureChannel::parameters(key).tls);
  Recorder client;
  auto channel = harness.connect(SecureChannel::clientContext(key), client);
  ASSERT_TRUE(channel);
  ASSERT_TRUE(client.waitForEvent("ready") && harness.serverSide.waitForEvent("ready"));
  InputEvent press;
  press.kind = InputEvent::Kind::mouseDown;
  press.x = press.y = 0.5;
  channel->sendJSON(MessageType::input, press);
  ASSERT_TRUE(harness.serverSide.waitForMessages(1));

  const std::string& peer = harness.serverChannel()->remoteEndpoint();
  QUORIN_REQUIRE(network.cut(peer.substr(peer.rfind(':') + 1)), "nft cannot add a drop rule");
  const auto cut = std::chrono::steady_clock::now();
  // The limit only guards against a hang; keepalive gives up well before it.
  ASSERT_TRUE(harness.serverSide.waitForEvent("close:Connection timed out", 90s))
      << testing::PrintToString(harness.serverSide.events());
  std::cout << "closed " << std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count()
            << " s after the cut\n";
  EXPECT_TRUE(log.contains("QuorinRemote: connection FAILED — Connection timed out"));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"ready"})) << "the client heard of nothing";
}

}  // namespace
}  // namespace quorin
