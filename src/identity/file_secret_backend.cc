#include "identity/file_secret_backend.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "base/log.h"
#include "identity/atomic_file.h"

namespace quorin {
namespace {

// Far above what a few keys need; a larger file is not ours to parse.
constexpr std::size_t kMaxFileSize = 1 << 20;

// The note left for an account whose item the Secret Service holds.
constexpr const char* kHeldBy = "heldBy";
constexpr const char* kSecretService = "secret-service";

std::filesystem::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) return user->pw_dir;
  return ".";
}

}  // namespace

FileSecretBackend::FileSecretBackend(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path FileSecretBackend::defaultPath() {
  std::filesystem::path data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    data = xdg;
  } else {
    data = homeFolder() / ".local" / "share";
  }
  return data / "quorin-remote" / "keychain.json";
}

std::optional<json::Json> FileSecretBackend::readItems() const {
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(file_, error))) {
    return json::Json::object();
  }
  const auto contents = readPrivateFile(file_, kMaxFileSize);
  if (!contents) return std::nullopt;
  return json::parseObject(textOf(*contents));
}

json::Json FileSecretBackend::itemsToChange() const {
  if (auto items = readItems()) return std::move(*items);
  const std::filesystem::path aside = file_.string() + ".unreadable";
  std::error_code error;
  std::filesystem::rename(file_, aside, error);
  logLine("the unreadable store " + file_.string() + " was moved aside to " + aside.string());
  return json::Json::object();
}

bool FileSecretBackend::writeItems(const json::Json& items) const {
  const auto text = json::write(items);
  return text && makePrivateDirectory(file_.parent_path()) &&
         writeFileAtomically(file_, bytesOf(*text), 0600);
}

bool FileSecretBackend::update(std::string_view account, const json::Json& entry) {
  std::lock_guard lock(mutex_);
  json::Json items = itemsToChange();
  items[std::string(account)] = entry;
  return writeItems(items);
}

bool FileSecretBackend::save(ByteView value, std::string_view account) {
  return update(account, json::bytesValue(value));
}

bool FileSecretBackend::noteHeldInKeyring(std::string_view account) {
  return update(account, json::Json{{kHeldBy, kSecretService}});
}

bool FileSecretBackend::isHeldInKeyring(std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto items = readItems();
  if (!items) return false;
  const auto item = items->find(std::string(account));
  return item != items->end() && item->is_object() && item->value(kHeldBy, "") == kSecretService;
}

std::optional<Bytes> FileSecretBackend::load(std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto items = readItems();
  if (!items) return std::nullopt;
  const auto item = items->find(std::string(account));
  Bytes value;
  if (item == items->end() || !json::readValue(*item, value)) return std::nullopt;
  return value;
}

bool FileSecretBackend::deleteItem(std::string_view account) {
  std::lock_guard lock(mutex_);
  auto items = readItems();
  if (!items || items->erase(std::string(account)) == 0) return false;
  return writeItems(*items);
}

std::vector<std::string> FileSecretBackend::allAccounts() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> accounts;
  const auto items = readItems();
  if (!items) return accounts;
  for (const auto& [account, value] : items->items()) accounts.push_back(account);
  return accounts;
}

}  // namespace quorin
