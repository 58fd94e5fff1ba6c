#include "identity/system_secret_backend.h"

#include <algorithm>

#include "base/log.h"

namespace quorin {

SystemSecretBackend::SystemSecretBackend(std::shared_ptr<SecretBackend> keyring,
                                         std::shared_ptr<FileSecretBackend> file)
    : keyring_(std::move(keyring)), file_(std::move(file)) {}

std::string SystemSecretBackend::inFile() const { return "is in the file " + file_->path().string(); }

void SystemSecretBackend::report(std::string_view account, const std::string& where) {
  {
    std::lock_guard lock(mutex_);
    auto& last = reported_[std::string(account)];
    if (last == where) return;
    last = where;
  }
  logLine("KeychainStore: " + std::string(account) + " " + where);
}

std::optional<Bytes> SystemSecretBackend::load(std::string_view account) {
  if (auto value = file_->load(account)) {
    if (keyring_) {
      moveIntoKeyring(account, *value);
    } else {
      report(account, inFile());
    }
    return value;
  }
  if (!keyring_) {
    if (file_->isHeldInKeyring(account)) {
      report(account, "is in the Secret Service, which does not answer; it cannot be read");
    }
    return std::nullopt;
  }
  auto value = keyring_->load(account);
  if (value && (file_->isHeldInKeyring(account) || file_->noteHeldInKeyring(account))) {
    report(account, "is in the Secret Service");
  }
  return value;
}

void SystemSecretBackend::moveIntoKeyring(std::string_view account, const Bytes& value) {
  const auto held = keyring_->load(account);
  if (held && *held != value) {
    report(account, inFile() + " and is used from there; the Secret Service holds a different "
                    "item for it, left untouched");
    return;
  }
  if (!held && keyring_->whyUnreadable(account)) {
    report(account, inFile() + "; the Secret Service cannot be read now, so it stays there");
    return;
  }
  if (!held && !(keyring_->save(value, account) && keyring_->load(account) == value)) {
    report(account, inFile() + "; the Secret Service did not store it, so it stays there");
    return;
  }
  if (!file_->noteHeldInKeyring(account)) {
    report(account, inFile() + " and also in the Secret Service");
    return;
  }
  report(account, "was moved from the file " + file_->path().string() + " into the Secret Service");
}

bool SystemSecretBackend::save(ByteView value, std::string_view account) {
  if (keyring_ && keyring_->save(value, account)) {
    if (file_->noteHeldInKeyring(account)) {
      report(account, "is in the Secret Service");
      return true;
    }
    return false;  // the file may still hold an older value, which a load would prefer
  }
  if (keyring_ ? (file_->isHeldInKeyring(account) || keyring_->whyUnreadable(account))
               : file_->isHeldInKeyring(account)) {
    report(account, "is in the Secret Service, which did not take a new value; "
                    "nothing was stored elsewhere");
    return false;
  }
  if (!file_->save(value, account)) return false;
  report(account, keyring_ ? inFile() + " (the Secret Service did not store it)" : inFile());
  return true;
}

bool SystemSecretBackend::deleteItem(std::string_view account) {
  const bool hadValue = file_->load(account).has_value();
  if (!keyring_) return hadValue && file_->deleteItem(account);
  const bool fromKeyring = keyring_->deleteItem(account);
  // The note stays while the Secret Service may still hold what it points to.
  if (hadValue || fromKeyring || !keyring_->whyUnreadable(account)) {
    const bool fromFile = file_->deleteItem(account);
    return fromKeyring || (hadValue && fromFile);
  }
  return false;
}

std::vector<std::string> SystemSecretBackend::allAccounts() {
  std::vector<std::string> accounts = file_->allAccounts();
  if (keyring_) {
    for (auto& account : keyring_->allAccounts()) {
      if (std::find(accounts.begin(), accounts.end(), account) == accounts.end()) {
        accounts.push_back(std::move(account));
      }
    }
  }
  return accounts;
}

bool SystemSecretBackend::keepAside(std::string_view account) {
  if (file_->load(account)) return file_->keepAside(account);
  return keyring_ && keyring_->keepAside(account);
}

std::optional<std::string> SystemSecretBackend::whyUnreadable(std::string_view account) {
  if (auto problem = file_->whyUnreadable(account)) return problem;
  if (keyring_) return keyring_->whyUnreadable(account);
  if (!file_->isHeldInKeyring(account)) return std::nullopt;
  return "it is kept in the Secret Service, which does not answer on the session bus; start the "
         "host in the desktop session where the keyring runs";
}

}  // namespace quorin
