// Runs against the real Secret Service on the session bus (gnome-keyring under scripts/test).

#include "identity/libsecret_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "identity/keychain_store.h"
#include "identity/secret_backend_contract.h"

namespace quorin {
namespace {

// Without a Secret Service the test fails in CI and is skipped elsewhere.
void requireSecretService() {
  if (LibsecretBackend::serviceAnswers(std::chrono::seconds(5))) return;
  const char* ci = std::getenv("CI");
  if (ci && std::string(ci) == "true") FAIL() << "no Secret Service on the session bus";
  GTEST_SKIP() << "no Secret Service on the session bus";
}

std::unique_ptr<SecretBackend> makeKeyringBackend() {
  requireSecretService();
  if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return nullptr;
  return std::make_unique<LibsecretBackend>(std::string(KeychainStore::kService));
}

INSTANTIATE_TEST_SUITE_P(Keyring, SecretBackendContract, testing::Values(&makeKeyringBackend),
                         [](const auto&) { return std::string("keyring"); });

// What `secret-tool lookup` prints for the account; nothing when it finds no item.
std::optional<std::string> secretToolLookup(const std::string& account) {
  const std::string command =
      "secret-tool lookup service com.quorinlabs.QuorinRemote account " + account;
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return output;
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
  EXPECT_FALSE(secretToolLookup(account));
}

}  // namespace
}  // namespace quorin
