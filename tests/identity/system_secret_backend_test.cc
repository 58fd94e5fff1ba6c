#include "identity/system_secret_backend.h"

#include <gtest/gtest.h>

#include "fakes/fake_secret_backend.h"
#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"
#include "identity/host_identity.h"
#include "identity/keychain_store.h"

namespace quorin {
namespace {

constexpr std::string_view kAccount = HostIdentity::kKeyAccount;

// Successive runs of the host, each with a fresh process-wide store, with or without a
// Secret Service, over one keyring and one file.
class SystemSecretBackendTest : public testing::Test {
 protected:
  ~SystemSecretBackendTest() override { KeychainStore::setBackend(nullptr); }

  std::shared_ptr<SecretBackend> run(bool keyringAnswers) {
    auto store = std::make_shared<SystemSecretBackend>(keyringAnswers ? keyring_ : nullptr, file_);
    KeychainStore::setBackend(store);
    return store;
  }
  std::optional<Bytes> hostKey(bool keyringAnswers) {
    run(keyringAnswers);
    HostIdentity identity([this] { return Bytes(32, ++generated_); }, [] { return "host"; });
    return identity.loadOrCreateKey();
  }

  const TemporaryFolder folder_;
  const std::string path_ = (folder_.path / "keychain.json").string();
  std::shared_ptr<FakeSecretBackend> keyring_ = std::make_shared<FakeSecretBackend>();
  std::shared_ptr<FileSecretBackend> file_ = std::make_shared<FileSecretBackend>(path_);
  std::uint8_t generated_ = 0;
  LogCapture log_;
};

TEST_F(SystemSecretBackendTest, EveryRunUsesTheOneKeyWhereverItIs) {
  // Made by a run without a Secret Service, the key stays in the file while the Secret
  // Service does not take it, and moves only once it is confirmed there.
  const auto key = hostKey(false);
  ASSERT_TRUE(key);
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key is in the file " + path_));
  keyring_->failSaves = true;
  EXPECT_EQ(hostKey(true), key);
  EXPECT_EQ(file_->load(kAccount), key);
  keyring_->failSaves = false;
  EXPECT_EQ(hostKey(true), key);
  EXPECT_EQ(keyring_->items[std::string(kAccount)], key);
  EXPECT_FALSE(file_->load(kAccount));
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key was moved from the file " +
                            path_ + " into the Secret Service"));

  // Without the Secret Service, a later run makes no second key and changes nothing.
  EXPECT_FALSE(hostKey(false));
  auto store = run(false);
  EXPECT_TRUE(store->mayHoldUnreadable(kAccount));
  EXPECT_FALSE(store->save(bytesOf("other"), kAccount));
  EXPECT_FALSE(store->deleteItem(kAccount));
  EXPECT_EQ(hostKey(true), key);
  // Nor does a run whose Secret Service is locked.
  keyring_->failLoads = true;
  EXPECT_FALSE(hostKey(true));
  keyring_->failLoads = false;
  EXPECT_EQ(generated_, 1);
}

TEST_F(SystemSecretBackendTest, KeyringFirstKeyIsKnownToLaterRunsWithoutIt) {
  const auto key = hostKey(true);
  EXPECT_TRUE(file_->isHeldInKeyring(kAccount));
  EXPECT_FALSE(hostKey(false));
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key is in the Secret Service, "
                            "which does not answer; it cannot be read"));
  EXPECT_EQ(hostKey(true), key);
  EXPECT_EQ(generated_, 1);

  // A key the Secret Service refuses goes to the file, unless it holds one already.
  keyring_->failSaves = true;
  EXPECT_FALSE(run(true)->save(bytesOf("new"), kAccount));
  keyring_->items.clear();
  file_->deleteItem(kAccount);
  EXPECT_TRUE(run(true)->save(bytesOf("new"), kAccount));
  EXPECT_EQ(run(false)->load(kAccount), bytesOf("new"));
}

TEST_F(SystemSecretBackendTest, DifferentItemsInBothStoresAreBothKept) {
  keyring_->items[std::string(kAccount)] = Bytes(32, 1);
  file_->save(Bytes(32, 2), kAccount);
  EXPECT_EQ(hostKey(true), Bytes(32, 2));
  EXPECT_EQ(hostKey(false), Bytes(32, 2));
  EXPECT_EQ(keyring_->items[std::string(kAccount)], Bytes(32, 1));
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key is in the file " + path_ +
                            " and is used from there; the Secret Service holds a different "
                            "item for it, left untouched"));
}

}  // namespace
}  // namespace quorin
