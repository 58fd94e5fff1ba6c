#include "identity/host_identity.h"

#include <gtest/gtest.h>

#include "fakes/fake_secret_backend.h"
#include "fakes/log_capture.h"
#include "identity/keychain_store.h"

namespace quorin {
namespace {

constexpr const char* kNotStored =
    "QuorinRemote: host key could not be stored; it is kept for this run only";

class HostIdentityTest : public testing::Test {
 protected:
  HostIdentityTest() { KeychainStore::setBackend(store_); }
  ~HostIdentityTest() override { KeychainStore::setBackend(nullptr); }

  std::optional<Bytes> stored() { return store_->load("host-key"); }

  std::shared_ptr<FakeSecretBackend> store_ = std::make_shared<FakeSecretBackend>();
  int generated_ = 0;  // each key made is 32 copies of this count
  bool randomFails_ = false;
  std::string hostName_ = "studio";
  LogCapture log_;
  HostIdentity identity_{
      [this]() -> std::optional<Bytes> {
        if (randomFails_) return std::nullopt;
        return Bytes(32, static_cast<std::uint8_t>(++generated_));
      },
      [this] { return hostName_; }};
};

TEST_F(HostIdentityTest, OneKeyIsCreatedStoredAndSharedUntilReset) {
  const auto payload = identity_.pairingPayload();
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->key.size(), 32u);
  EXPECT_EQ(stored(), payload->key);
  hostName_ = "renamed";
  EXPECT_EQ(identity_.pairingPayload(), PairingPayload("renamed", payload->key));
  EXPECT_EQ(identity_.loadOrCreateKey(), payload->key);
  EXPECT_EQ(generated_, 1);

  EXPECT_TRUE(identity_.resetKey());
  const auto after = identity_.loadOrCreateKey();
  EXPECT_NE(after, payload->key);
  EXPECT_EQ(identity_.pairingPayload()->key, after);
  EXPECT_EQ(stored(), after);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(HostIdentityTest, OnlyA32ByteItemIsAKey) {
  for (const Bytes& item : {Bytes{7}, Bytes{}, Bytes(33, 7)}) {
    store_->items["host-key"] = item;
    const auto key = identity_.loadOrCreateKey();
    EXPECT_EQ(key, Bytes(32, static_cast<std::uint8_t>(generated_)));
    EXPECT_EQ(stored(), key);
    EXPECT_TRUE(log_.contains("QuorinRemote: the stored host key has " +
                              std::to_string(item.size()) +
                              " bytes instead of 32; it is replaced by a new key"));
  }
}

// A key that cannot be stored is kept for the run, so the listener and the pairing code
// agree; a failed reset does not leave the revoked key to come back in the next run.
TEST_F(HostIdentityTest, StoreFailureNeverSplitsTheKeyWithinARun) {
  const auto revoked = identity_.loadOrCreateKey();
  store_->failSaves = true;
  EXPECT_FALSE(identity_.resetKey());
  const auto key = identity_.loadOrCreateKey();
  EXPECT_NE(key, revoked);
  EXPECT_FALSE(stored());
  store_->items["host-key"] = Bytes(32, 0xee);  // whatever turns up later, the key handed out holds
  EXPECT_EQ(identity_.pairingPayload()->key, key);
  EXPECT_EQ(log_.lines(), std::vector<std::string>{kNotStored});

  store_->failSaves = false;
  EXPECT_TRUE(identity_.resetKey());
  EXPECT_EQ(identity_.loadOrCreateKey(), stored());
  EXPECT_NE(stored(), key);
}

// A key that may exist but cannot be read now is not replaced by a second one, nor is a key
// invented without random bytes.
TEST_F(HostIdentityTest, NoKeyIsMadeUpWhenOneMayExistOrNoneCanBeMade) {
  store_->items["host-key"] = Bytes(32, 0xaa);
  store_->failLoads = true;
  EXPECT_FALSE(identity_.loadOrCreateKey());
  EXPECT_FALSE(identity_.pairingPayload());
  EXPECT_EQ(generated_, 0);
  EXPECT_EQ(log_.count("QuorinRemote: the host key is stored where it cannot be read now (is "
                       "the keyring locked or not running?); no new key is made, so paired "
                       "devices keep working once it can be read"),
            2);
  store_->failLoads = false;
  EXPECT_EQ(identity_.loadOrCreateKey(), Bytes(32, 0xaa));

  randomFails_ = true;
  store_->items.clear();
  EXPECT_FALSE(identity_.loadOrCreateKey());
  EXPECT_FALSE(stored());
  store_->items["host-key"] = Bytes(32, 0xaa);
  EXPECT_FALSE(identity_.resetKey());
  EXPECT_EQ(identity_.loadOrCreateKey(), Bytes(32, 0xaa));
  EXPECT_EQ(log_.count("QuorinRemote: host key could not be generated: no random bytes"), 2);
}

}  // namespace
}  // namespace quorin
