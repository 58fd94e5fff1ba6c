#include "identity/file_secret_backend.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "identity/atomic_file.h"

namespace quorin {
namespace {

// Far above what a few keys need; a larger file is not ours to parse.
constexpr std::size_t kMaxFileSize = 1 << 20;

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

json::Json FileSecretBackend::readItems() const {
  const auto contents = readSmallFile(file_, kMaxFileSize);
  if (!contents) return json::Json::object();
  auto items = json::parseObject(textOf(*contents));
  return items ? std::move(*items) : json::Json::object();
}

bool FileSecretBackend::writeItems(const json::Json& items) const {
  const auto text = json::write(items);
  return text && makePrivateDirectory(file_.parent_path()) &&
         writeFileAtomically(file_, bytesOf(*text), 0600);
}

bool FileSecretBackend::save(ByteView value, std::string_view account) {
  std::lock_guard lock(mutex_);
  json::Json items = readItems();
  items[std::string(account)] = json::bytesValue(value);
  return writeItems(items);
}

std::optional<Bytes> FileSecretBackend::load(std::string_view account) {
  std::lock_guard lock(mutex_);
  const json::Json items = readItems();
  const auto item = items.find(std::string(account));
  Bytes value;
  if (item == items.end() || !json::readValue(*item, value)) return std::nullopt;
  return value;
}

bool FileSecretBackend::deleteItem(std::string_view account) {
  std::lock_guard lock(mutex_);
  json::Json items = readItems();
  if (items.erase(std::string(account)) == 0) return false;
  return writeItems(items);
}

std::vector<std::string> FileSecretBackend::allAccounts() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> accounts;
  const json::Json items = readItems();
  for (const auto& [account, value] : items.items()) accounts.push_back(account);
  return accounts;
}

}  // namespace quorin
