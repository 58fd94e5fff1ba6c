#pragma once
// The store used where no Secret Service answers (a headless box, a server): one JSON file
// mapping account names to Base64 values, in a folder only the user can enter (0700), the
// file itself 0600 and replaced atomically on every change. A file that cannot be read or
// parsed holds no items; a value that is not valid Base64 is absent.
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

 private:
  json::Json readItems() const;  // an empty object when there is nothing readable
  bool writeItems(const json::Json& items) const;

  const std::filesystem::path file_;
  std::mutex mutex_;  // makes each read-modify-write whole
};

}  // namespace quorin
