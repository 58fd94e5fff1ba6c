#pragma once
// The user's keyring through the Secret Service (libsecret). Items carry the attributes
// `service` and `account` and nothing else, so
//     secret-tool lookup service <service> account <account>
// finds them; they go to the default collection. Values are stored as binary secrets
// (content type application/octet-stream). Saving replaces an item with the same attributes
// in one Secret Service call, so a failed save leaves the old value.
// Thread-safe: libsecret's synchronous calls run their own main context.

#include <chrono>
#include <string>

#include "identity/secret_backend.h"

namespace quorin {

class LibsecretBackend final : public SecretBackend {
 public:
  explicit LibsecretBackend(std::string service);

  // True when a Secret Service answers a ping on the session bus within `timeout` (starting
  // it through D-Bus activation if it is installed). False without a session bus: no bus is
  // launched just to ask.
  static bool serviceAnswers(std::chrono::milliseconds timeout);

  bool save(ByteView value, std::string_view account) override;
  std::optional<Bytes> load(std::string_view account) override;
  bool deleteItem(std::string_view account) override;
  std::vector<std::string> allAccounts() override;
  // True when looking the item up fails (a locked collection, a dismissed prompt) rather
  // than finding nothing.
  bool mayHoldUnreadable(std::string_view account) override;

 private:
  // The item's bytes; `failed` tells a failed lookup from a missing item.
  std::optional<Bytes> lookup(std::string_view account, bool& failed) const;

  const std::string service_;
};

}  // namespace quorin
