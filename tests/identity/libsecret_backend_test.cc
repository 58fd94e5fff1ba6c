// Runs against the real Secret Service on the session bus (gnome-keyring under scripts/test).

#include "identity/libsecret_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/command_output.h"
#include "fakes/require_service.h"
#include "fakes/temporary_folder.h"
#include "identity/host_identity.h"
#include "identity/keychain_store.h"
#include "identity/secret_backend_contract.h"
#include "identity/system_secret_backend.h"

namespace quorin {
namespace {

void requireSecretService() {
  QUORIN_REQUIRE(LibsecretBackend::serviceAnswers(std::chrono::seconds(5)), "no Secret Service on the session bus");
}

std::unique_ptr<SecretBackend> makeKeyringBackend() {
  requireSecretService();
  if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return nullptr;
  return std::make_unique<LibsecretBackend>(std::string(KeychainStore::kService));
}

INSTANTIATE_TEST_SUITE_P(Keyring, SecretBackendContract, testing::Values(&makeKeyringBackend),
                         [](const auto&) { return std::string("keyring"); });

// What `secret-tool lookup` prints for the account, or "absent" when it finds no item.
std::string secretToolLookup(const std::string& account) {
  return commandOutput("secret-tool lookup service com.quorinlabs.QuorinRemote account " + account +
                       " 2>/dev/null || printf absent");
}

TEST(Keyring, ItemsAreWhereSecretToolLooks) {
  requireSecretService();
  LibsecretBackend backend{std::string(KeychainStore::kService)};
  const std::string account = "keyring-test-" + std::to_string(::getpid());
  ASSERT_TRUE(backend.save(bytesOf("first value"), account));
  EXPECT_EQ(secretToolLookup(account), "first value");
  ASSERT_TRUE(backend.save(bytesOf("second value"), account));
  EXPECT_EQ(secretToolLookup(account), "second value");
  ASSERT_TRUE(backend.deleteItem(account));
  EXPECT_EQ(secretToolLookup(account), "absent");
}

// A locked keyring that is not unlocked in time (the prompt shows on the test display, or no
// prompt can show) still holds the key: no new key is made, in the keyring or in a file, and
// the sentence says to unlock it. It leaves the keyring locked, so it runs only where the
// keyring is its own (keyring_race_test.sh).
TEST(Keyring, LockedKeyringKeepsItsKeyAndSaysToUnlockIt) {
  requireSecretService();
  if (!std::getenv("QUORIN_KEYRING_OF_ITS_OWN")) GTEST_SKIP() << "locks the keyring; keyring_race_test.sh runs it";
  using namespace std::chrono_literals;
  auto keyring = std::make_shared<LibsecretBackend>(std::string(KeychainStore::kService),
                                                    LibsecretBackend::Limits{.call = 5s, .unlock = 1s});
  ASSERT_TRUE(keyring->save(Bytes(32, 7), HostIdentity::kKeyAccount));
  ASSERT_EQ(commandOutput("dbus-send --session --dest=org.freedesktop.secrets --print-reply /org/freedesktop/secrets "
                          "org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login "
                          ">/dev/null && printf locked"),
            "locked");
  EXPECT_THAT(keyring->whyUnreadable(HostIdentity::kKeyAccount),
              testing::Optional(testing::StartsWith("the keyring that holds it is locked; unlock it: log in again, use "
                                                    "Passwords and Keys (Seahorse), or run secret-tool lookup service "
                                                    "com.quorinlabs.QuorinRemote account host-key")));
  const TemporaryFolder folder;
  const auto file = folder.path / "keychain.json";
  KeychainStore::setBackend(std::make_shared<SystemSecretBackend>(keyring, std::make_shared<FileSecretBackend>(file)));
  int generated = 0;
  HostIdentity identity([&]() -> std::optional<Bytes> { return Bytes(32, static_cast<std::uint8_t>(++generated)); },
                        [] { return "host"; });
  EXPECT_FALSE(identity.loadOrCreateKey());
  KeychainStore::setBackend(nullptr);
  EXPECT_EQ(generated, 0);
  EXPECT_FALSE(std::filesystem::exists(file));
  // The unlock attempt may take this gnome-keyring down (it aborts on the dismissed
  // prompt), so the sentence here may name that failure instead.
  EXPECT_THAT(identity.problem(), testing::StartsWith("The host key cannot be read now: "));
}

}  // namespace
}  // namespace quorin
