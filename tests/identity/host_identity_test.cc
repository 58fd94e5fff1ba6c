#include "identity/host_identity.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "fakes/fake_secret_backend.h"
#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"
#include "identity/keychain_store.h"
#include "identity/system_secret_backend.h"
#include "protocol/base64.h"

namespace quorin {
namespace {

constexpr std::string_view kAccount = HostIdentity::kKeyAccount;

// One host's key store over a fake keyring (store_), and successive runs of the host over
// that keyring, when it answers, and a file.
class HostIdentityTest : public testing::Test {
 protected:
  HostIdentityTest() { KeychainStore::setBackend(store_); }
  ~HostIdentityTest() override { KeychainStore::setBackend(nullptr); }

  std::optional<Bytes> stored() { return store_->load(kAccount); }
  std::shared_ptr<SecretBackend> run(bool keyringAnswers) {
    auto store = std::make_shared<SystemSecretBackend>(keyringAnswers ? store_ : nullptr, file_);
    KeychainStore::setBackend(store);
    return store;
  }
  std::optional<Bytes> hostKey(bool keyringAnswers) {
    run(keyringAnswers);
    return HostIdentity(random_, [] { return "host"; }).loadOrCreateKey();
  }

  std::shared_ptr<FakeSecretBackend> store_ = std::make_shared<FakeSecretBackend>();
  const TemporaryFolder folder_;
  const std::string path_ = (folder_.path / "keychain.json").string();
  std::shared_ptr<FileSecretBackend> file_ = std::make_shared<FileSecretBackend>(path_);
  int generated_ = 0;  // each key made is 32 copies of this count
  bool randomFails_ = false;
  std::string hostName_ = "studio";
  LogCapture log_;
  const HostIdentity::KeyGenerator random_ = [this]() -> std::optional<Bytes> {
    if (randomFails_) return std::nullopt;
    return Bytes(32, static_cast<std::uint8_t>(++generated_));
  };
  HostIdentity identity_{random_, [this] { return hostName_; }};
};

TEST_F(HostIdentityTest, OneKeyIsCreatedStoredAndSharedUntilReset) {
  const auto key = identity_.loadOrCreateKey();
  hostName_ = "renamed";
  EXPECT_EQ(identity_.pairingPayload(), PairingPayload("renamed", *key));
  EXPECT_EQ(stored(), key);
  EXPECT_EQ(generated_, 1);
  EXPECT_TRUE(identity_.resetKey());
  EXPECT_NE(stored(), key);
  EXPECT_EQ(identity_.pairingPayload()->key, stored());
  EXPECT_EQ(generated_, 2);
  EXPECT_TRUE(log_.lines().empty());

  // Only a 32-byte item is a key; any other is kept aside, each copy beside the others,
  // before it is replaced, and left as it is when it cannot be kept aside.
  const std::vector<std::pair<Bytes, std::string>> damaged = {
      {Bytes{7}, "host-key.damaged"}, {Bytes{}, "host-key.damaged.2"}, {Bytes(33, 7), "host-key.damaged.3"}};
  for (const auto& [item, aside] : damaged) {
    store_->items["host-key"] = item;
    const auto replaced = identity_.loadOrCreateKey();
    EXPECT_EQ(replaced, Bytes(32, static_cast<std::uint8_t>(generated_)));
    EXPECT_EQ(stored(), replaced);
    EXPECT_EQ(store_->items[aside], item);
    EXPECT_TRUE(log_.contains("QuorinRemote: the item host-key is to be replaced; a copy is kept as the item " + aside));
    EXPECT_TRUE(log_.contains("QuorinRemote: the stored host key has " + std::to_string(item.size()) +
                              " bytes instead of 32; it is replaced by a new key"));
  }
  store_->items["host-key"] = Bytes{8};
  store_->failSaves = true;
  const int made = generated_;
  EXPECT_FALSE(identity_.loadOrCreateKey());
  EXPECT_EQ(identity_.problem(), "The host key cannot be used: the stored host key has 1 bytes instead of 32, and no "
                                 "copy of it could be kept, so it is left as it is and no new key is made.");
  EXPECT_EQ(stored(), Bytes{8});
  EXPECT_EQ(generated_, made);
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
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"QuorinRemote: host key could not be stored; it is kept for this run only"});

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
  const std::string sentence = "The host key cannot be read now: the fake keyring is locked. No new key is "
                               "made, so paired devices work again once it can be read.";
  EXPECT_EQ(identity_.problem(), sentence);
  EXPECT_EQ(log_.count("QuorinRemote: " + sentence), 2);
  store_->failLoads = false;
  EXPECT_EQ(identity_.loadOrCreateKey(), Bytes(32, 0xaa));
  EXPECT_EQ(identity_.problem(), "");

  randomFails_ = true;
  store_->items.clear();
  EXPECT_FALSE(identity_.loadOrCreateKey());
  EXPECT_EQ(identity_.problem(), "The host key could not be created, so the host cannot accept connections.");
  EXPECT_FALSE(stored());
  store_->items["host-key"] = Bytes(32, 0xaa);
  EXPECT_FALSE(identity_.resetKey());
  EXPECT_EQ(identity_.loadOrCreateKey(), Bytes(32, 0xaa));
  EXPECT_EQ(log_.count("QuorinRemote: host key could not be generated: no random bytes"), 2);
}

using SystemSecretBackendTest = HostIdentityTest;

TEST_F(SystemSecretBackendTest, EveryRunUsesTheOneKeyWhereverItIs) {
  // Made by a run without a Secret Service, the key stays in the file while the Secret
  // Service does not take it, and moves only once it is confirmed there.
  const auto key = hostKey(false);
  ASSERT_TRUE(key);
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key is in the file " + path_));
  store_->failSaves = true;
  EXPECT_EQ(hostKey(true), key);
  EXPECT_EQ(file_->load(kAccount), key);
  store_->failSaves = false;
  EXPECT_EQ(hostKey(true), key);
  EXPECT_EQ(store_->items[std::string(kAccount)], key);
  EXPECT_FALSE(file_->load(kAccount));
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key was moved from the file " + path_ +
                            " into the Secret Service"));

  // Without the Secret Service, a later run makes no second key and changes nothing.
  EXPECT_FALSE(hostKey(false));
  auto store = run(false);
  EXPECT_TRUE(store->whyUnreadable(kAccount));
  EXPECT_FALSE(store->save(bytesOf("other"), kAccount));
  EXPECT_FALSE(store->deleteItem(kAccount));
  EXPECT_EQ(hostKey(true), key);
  // Nor does a run whose Secret Service is locked.
  store_->failLoads = true;
  EXPECT_FALSE(hostKey(true));
  store_->failLoads = false;
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
  store_->failSaves = true;
  EXPECT_FALSE(run(true)->save(bytesOf("new"), kAccount));
  store_->items.clear();
  file_->deleteItem(kAccount);
  EXPECT_TRUE(run(true)->save(bytesOf("new"), kAccount));
  EXPECT_EQ(run(false)->load(kAccount), bytesOf("new"));
}

TEST_F(SystemSecretBackendTest, DifferentItemsInBothStoresAreBothKept) {
  store_->items[std::string(kAccount)] = Bytes(32, 1);
  file_->save(Bytes(32, 2), kAccount);
  EXPECT_EQ(hostKey(true), Bytes(32, 2));
  EXPECT_EQ(hostKey(false), Bytes(32, 2));
  EXPECT_EQ(store_->items[std::string(kAccount)], Bytes(32, 1));
  EXPECT_TRUE(log_.contains("QuorinRemote: KeychainStore: host-key is in the file " + path_ +
                            " and is used from there; the Secret Service holds a different "
                            "item for it, left untouched"));
}

// Without a session bus, and on one that accepts the connection and then never says a word.
TEST(KeychainStore, WithoutAnAnsweringSessionBusChoosesTheFileStoreAndSaysSo) {
  const TemporaryFolder folder;
  const std::string silent = (folder.path / "bus").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  silent.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ::setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime", 1);
  ::setenv("XDG_DATA_HOME", "/tmp/quorin-data", 1);
  for (const char* bus : {"", "silent"}) {
    if (*bus) ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + silent).c_str(), 1);
    else ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    LogCapture log;
    EXPECT_NE(dynamic_cast<SystemSecretBackend*>(KeychainStore::chooseBackend().get()), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"QuorinRemote: KeychainStore using the file "
                                                    "/tmp/quorin-data/quorin-remote/keychain.json "
                                                    "(no Secret Service on the session bus)"});
  }
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::close(listener);
}

TEST(PairingPayload, TextIsCompactJsonThatReadsBackAndNothingElseDoes) {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 251);
  const PairingPayload payload("Büro/東京 ✓", key);
  const std::string text = payload.encodedString();
  EXPECT_EQ(text, R"({"key":")" + base64::encode(key) + R"(","name":"Büro\/東京 ✓","v":1})");
  const std::string wrapped = base64::encode(bytesOf(text));
  for (const std::string& form : {text, " \n" + text + "\r\n\t", wrapped, "\n" + wrapped + " "}) {
    EXPECT_EQ(PairingPayload::decode(form), payload) << form;
  }
  PairingPayload other("n", Bytes{0, 1});
  other.v = 2;
  EXPECT_EQ(PairingPayload::decode(R"({"v":2,"name":"n","key":"AAE=","extra":1})"), other);

  const std::string noName = R"({"v":1,"key":"AAE="})";
  for (const std::string& bad : {
           noName, base64::encode(bytesOf(noName)),
           std::string(R"({"v":1,"name":"n","key":"AAE"})"),     // unpadded key
           std::string(R"({"v":1.5,"name":"n","key":"AAE="})"),  // fractional version
           std::string(R"({"v":1,"name":"n","key":"AAE=")"),     // cut short
           base64::encode(bytesOf("{\"v\":1,\"name\":\"\xff\",\"key\":\"\"}")),  // not UTF-8
           std::string("   ")}) {
    EXPECT_FALSE(PairingPayload::decode(bad)) << bad;
  }
  EXPECT_EQ(PairingPayload("bad \xc3", key).encodedString(), "");
}

}  // namespace
}  // namespace quorin
