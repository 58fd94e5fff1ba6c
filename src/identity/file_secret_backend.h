#pragma once
// The store used where no Secret Service answers (a headless box, a server): one JSON file
// mapping account names to Base64 values, in a folder only the user can enter (0700), the
// file itself 0600 and replaced atomically on every change. The file is read only when it is
// a regular file of this user (never through a link); a group- or world-readable one is made
// 0600 first. A value that is not valid Base64 is absent. A file that exists but cannot be
// read or parsed holds no items, and is moved aside to "<file>.unreadable" by the next change
// rather than overwritten, so whatever it held can still be recovered by hand.
// An account may also carry a note that its item is kept in the Secret Service instead; such
// an account has no value here (load gives nothing) but is listed.
// Thread-safe within the process; other processes writing the same file are not coordinated.

#include <filesystem>
#include <mutex>

#include "identity/secret_backend.h"
#include "protocol/json_codec.h"

namespace quorin {

class FileSecretBackend final : public SecretBackend {
 public:
  explicit FileSecretBackend(std::filesystem::path file);

  // $XDG_DATA_HOME/quorin-remote/keychain.json, with ~/.local/share as the data folder when
  // XDG_DATA_HOME is unset or not absolute.
  static std::filesystem::path defaultPath();

  const std::filesystem::path& path() const { return file_; }

  bool save(ByteView value, std::string_view account) override;
  std::optional<Bytes> load(std::string_view account) override;
  bool deleteItem(std::string_view account) override;
  std::vector<std::string> allAccounts() override;

  // Replaces the account's value, if any, with the note that the Secret Service holds it.
  bool noteHeldInKeyring(std::string_view account);
  bool isHeldInKeyring(std::string_view account);

 private:
  // The items; an empty object when there is no file, nothing when the file is unusable.
  std::optional<json::Json> readItems() const;
  // The items to change: those read, or none after moving an unusable file aside.
  json::Json itemsToChange() const;
  bool writeItems(const json::Json& items) const;
  bool update(std::string_view account, const json::Json& entry);

  const std::filesystem::path file_;
  std::mutex mutex_;  // makes each read-modify-write whole
};

}  // namespace quorin
