#include "identity/file_secret_backend.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "identity/atomic_file.h"

namespace quorin {
namespace {

// Far above what a few keys need; a larger file is not ours to parse.
constexpr std::size_t kMaxFileSize = 1 << 20;

// The note left for an account whose item the Secret Service holds.
constexpr const char* kHeldBy = "heldBy";
constexpr const char* kSecretService = "secret-service";

bool isNote(const json::Json& entry) {
  return entry.is_object() && entry.value(kHeldBy, "") == kSecretService;
}

// Neither a value nor the note: what is left of something that was there.
bool isDamaged(const json::Json& entry) {
  Bytes value;
  return !json::readValue(entry, value) && !isNote(entry);
}

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

FileSecretBackend::Items FileSecretBackend::readItems() const {
  auto file = readPrivateFile(file_, kMaxFileSize);
  switch (file.state) {
    case PrivateFile::State::missing: return {json::Json::object(), {}, {}};
    case PrivateFile::State::refused: return {std::nullopt, std::move(file.problem), {}};
    case PrivateFile::State::read: break;
  }
  auto items = json::parseObject(textOf(file.contents));
  return {std::move(items), {}, std::move(file.contents)};
}

std::optional<json::Json> FileSecretBackend::itemsToChange(Items read, std::string_view account) const {
  if (!read.unreadable.empty()) return std::nullopt;
  if (!read.items) {
    if (!copyAside(read.contents, "the store " + file_.string() + " is damaged")) return std::nullopt;
    return json::Json::object();
  }
  const auto entry = read.items->find(std::string(account));
  if (entry != read.items->end() && isDamaged(*entry) &&
      !copyAside(read.contents, "the entry " + std::string(account) + " of the store " + file_.string() +
                                    " is damaged (neither a Base64 value nor a note)")) {
    return std::nullopt;
  }
  return std::move(read.items);
}

bool FileSecretBackend::copyAside(const Bytes& contents, const std::string& why) const {
  // Never over an earlier copy: each may be the only one of some key.
  std::filesystem::path aside = file_.string() + ".damaged";
  for (int n = 2; !writeNewFileAtomically(aside, contents, 0600); ++n) {
    if (errno != EEXIST || n > 1000) {
      logLine(why + "; no copy of the store could be kept (" + std::strerror(errno) + "), so it is left as it is");
      return false;
    }
    aside = file_.string() + ".damaged." + std::to_string(n);
  }
  logLine(why + "; a copy of the store is kept at " + aside.string());
  return true;
}

bool FileSecretBackend::writeItems(const json::Json& items) const {
  const auto text = json::write(items);
  return text && makePrivateDirectory(file_.parent_path()) && writeFileAtomically(file_, bytesOf(*text), 0600);
}

bool FileSecretBackend::update(std::string_view account, const json::Json& entry) {
  std::lock_guard lock(mutex_);
  auto items = itemsToChange(readItems(), account);
  if (!items) return false;
  (*items)[std::string(account)] = entry;
  return writeItems(*items);
}

bool FileSecretBackend::save(ByteView value, std::string_view account) {
  return update(account, json::bytesValue(value));
}

bool FileSecretBackend::noteHeldInKeyring(std::string_view account) {
  return update(account, json::Json{{kHeldBy, kSecretService}});
}

bool FileSecretBackend::isHeldInKeyring(std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto items = readItems().items;
  if (!items) return false;
  const auto item = items->find(std::string(account));
  return item != items->end() && isNote(*item);
}

std::optional<Bytes> FileSecretBackend::load(std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto items = readItems().items;
  if (!items) return std::nullopt;
  const auto item = items->find(std::string(account));
  Bytes value;
  if (item == items->end() || !json::readValue(*item, value)) return std::nullopt;
  return value;
}

bool FileSecretBackend::deleteItem(std::string_view account) {
  std::lock_guard lock(mutex_);
  auto read = readItems();
  if (!read.items || !read.items->contains(std::string(account))) return false;
  auto items = itemsToChange(std::move(read), account);
  return items && items->erase(std::string(account)) == 1 && writeItems(*items);
}

bool FileSecretBackend::keepAside(std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto read = readItems();
  return read.items && read.items->contains(std::string(account)) &&
         copyAside(read.contents, "the entry " + std::string(account) + " of the store " + file_.string() +
                                      " is to be replaced");
}

std::vector<std::string> FileSecretBackend::allAccounts() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> accounts;
  const auto items = readItems().items;
  if (!items) return accounts;
  for (const auto& [account, value] : items->items()) accounts.push_back(account);
  return accounts;
}

std::optional<std::string> FileSecretBackend::whyUnreadable(std::string_view) {
  std::lock_guard lock(mutex_);
  auto unreadable = readItems().unreadable;
  if (unreadable.empty()) return std::nullopt;
  return unreadable;
}

}  // namespace quorin
