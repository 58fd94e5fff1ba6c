// Runs against the real Secret Service on the session bus (gnome-keyring under scripts/test).

#include "identity/libsecret_backend.h"

#include <gtest/gtest.h>

#include "app/command_output.h"
#include "fakes/require_service.h"
#include "identity/keychain_store.h"
#include "identity/secret_backend_contract.h"

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

}  // namespace
}  // namespace quorin
