#include "identity/keychain_store.h"

#include <mutex>

#include "base/log.h"
#include "identity/file_secret_backend.h"
#include "identity/libsecret_backend.h"
#include "identity/system_secret_backend.h"

namespace quorin::KeychainStore {
namespace {

// Long enough for D-Bus activation of a keyring daemon, short enough for a start-up path.
constexpr std::chrono::seconds kProbeTimeout{3};

std::mutex& overrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<SecretBackend>& overridden() {
  static std::shared_ptr<SecretBackend> backend;
  return backend;
}

std::shared_ptr<SecretBackend> current() {
  {
    std::lock_guard lock(overrideMutex());
    if (overridden()) return overridden();
  }
  static const std::shared_ptr<SecretBackend> system = chooseBackend();
  return system;
}

}  // namespace

bool save(ByteView value, std::string_view account) { return current()->save(value, account); }

std::optional<Bytes> load(std::string_view account) { return current()->load(account); }

bool deleteItem(std::string_view account) { return current()->deleteItem(account); }

std::vector<std::string> allAccounts() { return current()->allAccounts(); }

std::optional<std::string> whyUnreadable(std::string_view account) {
  return current()->whyUnreadable(account);
}

bool keepAside(std::string_view account) { return current()->keepAside(account); }

void setBackend(std::shared_ptr<SecretBackend> backend) {
  std::lock_guard lock(overrideMutex());
  overridden() = std::move(backend);
}

std::shared_ptr<SecretBackend> chooseBackend() {
  auto file = std::make_shared<FileSecretBackend>(FileSecretBackend::defaultPath());
  if (LibsecretBackend::serviceAnswers(kProbeTimeout)) {
    logLine("KeychainStore using the Secret Service, and the file " + file->path().string() +
            " for items kept there before");
    return std::make_shared<SystemSecretBackend>(
        std::make_shared<LibsecretBackend>(std::string(kService)), std::move(file));
  }
  logLine("KeychainStore using the file " + file->path().string() +
          " (no Secret Service on the session bus)");
  return std::make_shared<SystemSecretBackend>(nullptr, std::move(file));
}

}  // namespace quorin::KeychainStore
