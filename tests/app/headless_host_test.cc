#include <gtest/gtest.h>

#include "app/command_output.h"
#include "fakes/child_process.h"
#include "identity/host_identity.h"
#include "identity/keychain_store.h"
#include "identity/pairing_payload.h"
#include "transport/channel_harness.h"
#include "transport/client_connector.h"
#include "transport/secure_channel.h"

namespace quorin {
namespace {

// The host program as a child, its stdout read line by line.
struct HostProcess : ChildProcess {
  HostProcess() : ChildProcess({QUORIN_HOST_BINARY, "--headless"}) {}
};

TEST(HeadlessHost, PairingTextCarriesTheKeyringKeyAndOnlyThatKeyConnects) {
  const std::string text = commandOutput(std::string(QUORIN_HOST_BINARY) + " --pairing-text 2>/dev/null");
  const auto payload = PairingPayload::decode(text);
  ASSERT_TRUE(payload) << text;
  EXPECT_EQ(KeychainStore::load(HostIdentity::kKeyAccount), payload->key);

  HostProcess host;
  ASSERT_TRUE(host.waitForLine("Advertising")) << host.output();

  IoThread io("client");
  auto connect = [&](const Bytes& key, Recorder& recorder) {
    auto channel = connectRecorded(io, 52877, SecureChannel::clientContext(key), recorder);
    recorder.waitFor([](auto& events, auto&) { return !events.empty(); });
    return channel;
  };
  Recorder paired, stranger;
  auto a = connect(payload->key, paired);
  auto b = connect(*SecureChannel::generateKey(), stranger);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(paired.events().front(), "ready");
  EXPECT_NE(stranger.events().front(), "ready");
}

TEST(HeadlessHost, BusyPortIsAFailedStartWithTheReason) {
  HostProcess first;
  ASSERT_TRUE(first.waitForLine("Advertising"));
  HostProcess second;
  EXPECT_TRUE(second.waitForLine("Last error: Address already in use")) << second.output();
  EXPECT_EQ(WEXITSTATUS(second.terminate()), 1);
}

}  // namespace
}  // namespace quorin
