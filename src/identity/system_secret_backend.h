#pragma once
// The user's store as every run of the host sees it, whether or not a Secret Service answers:
// the Secret Service when it does, and the private file store always. Whichever store holds
// an account's item, every run finds it there, and no run makes a second item behind it:
// - An item in the file is used as it is (by every run alike). When the Secret Service
//   answers and holds no item for the account, the file's item is copied into it, read back,
//   and only then replaced in the file by a note that the Secret Service holds it. When the
//   Secret Service holds a different item, the file's is used and the conflict is logged.
// - An item in the Secret Service leaves that note in the file, so a run without a Secret
//   Service knows the item exists: load gives nothing, whyUnreadable says so, and
//   save and deleteItem refuse rather than make or remove an item the user cannot see.
// - A save the Secret Service refuses goes to the file, unless the Secret Service may
//   already hold an item for the account.
// Where each account's item is, and every move or refusal, is logged when it changes.
// Thread-safe: each backend is; this class only serialises its log bookkeeping.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "identity/file_secret_backend.h"

namespace quorin {

class SystemSecretBackend final : public SecretBackend {
 public:
  // `keyring` is nullptr when no Secret Service answers in this run.
  SystemSecretBackend(std::shared_ptr<SecretBackend> keyring,
                      std::shared_ptr<FileSecretBackend> file);

  bool save(ByteView value, std::string_view account) override;
  std::optional<Bytes> load(std::string_view account) override;
  bool deleteItem(std::string_view account) override;
  std::vector<std::string> allAccounts() override;
  // The file's problem first: it may hold the item whatever the Secret Service says.
  std::optional<std::string> whyUnreadable(std::string_view account) override;
  // In the store that holds the item, the file first as load reads it.
  bool keepAside(std::string_view account) override;

 private:
  // Copies the file's item into the Secret Service where that is safe.
  void moveIntoKeyring(std::string_view account, const Bytes& value);
  // Logs `where` for the account unless it is what was logged last for it.
  void report(std::string_view account, const std::string& where);
  std::string inFile() const;

  const std::shared_ptr<SecretBackend> keyring_;
  const std::shared_ptr<FileSecretBackend> file_;
  std::mutex mutex_;
  std::map<std::string, std::string, std::less<>> reported_;
};

}  // namespace quorin
