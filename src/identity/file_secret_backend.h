#pragma once
// The store used where no Secret Service answers (a headless box, a server): one JSON file
// mapping account names to Base64 values, in a folder only the user can enter (0700), the
// file itself 0600 and replaced atomically on every change. A value that is not valid Base64
// is absent. The file may be a link (dotfile managers make them): it is followed, for reading
// and writing, to a private regular file of this user.
// Only a missing file holds no items. A file that cannot be read (another user's, not
// readable, not a regular file, too large, too many open files) holds items that cannot be
// read now: whyUnreadable says what to fix, and every change fails rather than replace it.
// Nothing read is ever lost silently. A file that was read whole but is not a store, or an
// entry that is neither a Base64 value nor a note, reads as absent; before the next change
// that would drop it (of the store, or of that entry), the file as read is copied to
// "<file>.damaged" or the first free "<file>.damaged.N" beside the path, with a log line, so
// that whatever it held can still be recovered by hand. A link stays a link throughout.
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
  std::optional<std::string> whyUnreadable(std::string_view account) override;

  // Copies the store aside as for a damaged entry, before a caller replaces the account's
  // value that it cannot use; false, logged, when the copy fails or there is no value.
  bool keepAside(std::string_view account) override;

  // Replaces the account's value, if any, with the note that the Secret Service holds it.
  bool noteHeldInKeyring(std::string_view account);
  bool isHeldInKeyring(std::string_view account);

 private:
  struct Items {
    std::optional<json::Json> items;  // none when the file is damaged or unreadable
    std::string unreadable;           // why the file could not be read; empty when it was
    Bytes contents;                   // the file as read
  };
  // The items; an empty object when there is no file.
  Items readItems() const;
  // The items `read` to change the account's entry in, or none when the file is damaged;
  // nothing when the file could not be read. A damaged file or entry is copied aside first,
  // and when that fails there is nothing to change either.
  std::optional<json::Json> itemsToChange(Items read, std::string_view account) const;
  // Copies `contents` aside and logs it after `why`; false when no copy could be made.
  bool copyAside(const Bytes& contents, const std::string& why) const;
  bool writeItems(const json::Json& items) const;
  bool update(std::string_view account, const json::Json& entry);

  const std::filesystem::path file_;
  std::mutex mutex_;  // makes each read-modify-write whole
};

}  // namespace quorin
