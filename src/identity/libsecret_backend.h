#pragma once
// The user's keyring through the Secret Service (libsecret). Items carry the attributes
// `service` and `account` and nothing else, so
//     secret-tool lookup service <service> account <account>
// finds them; they go to the default collection. Values are stored as binary secrets
// (content type application/octet-stream). Saving replaces an item with the same attributes
// in one Secret Service call, so a failed save leaves the old value.
// Every call has a time limit, the connection to the bus included, so a hung service or an
// unlock prompt nobody answers never holds the caller for ever. An item in a locked keyring
// is unlocked through the service's own prompt, which gets a longer limit and is dismissed
// when it runs out; the item then counts as unreadable, never as absent.
// Thread-safe: each call runs on a main context and a service proxy of its own, so nothing
// cached (whether a keyring is locked) outlives the call.

#include <chrono>
#include <string>

#include "identity/secret_backend.h"

namespace quorin {

class LibsecretBackend final : public SecretBackend {
 public:
  struct Limits {
    std::chrono::milliseconds call{5000};     // one round trip, or connecting to the bus
    std::chrono::milliseconds unlock{30000};  // a prompt the user answers, saves included
  };

  explicit LibsecretBackend(std::string service) : LibsecretBackend(std::move(service), Limits{}) {}
  LibsecretBackend(std::string service, Limits limits);

  // True when a Secret Service answers a ping on the session bus within `timeout` (starting
  // it through D-Bus activation if it is installed). False without a session bus: no bus is
  // launched just to ask.
  static bool serviceAnswers(std::chrono::milliseconds timeout);

  bool save(ByteView value, std::string_view account) override;
  std::optional<Bytes> load(std::string_view account) override;
  bool deleteItem(std::string_view account) override;
  std::vector<std::string> allAccounts() override;
  // Something when the lookup fails or runs out of time, when the item is in a locked
  // keyring, or when no item is found while some keyring is locked (it may hide one).
  std::optional<std::string> whyUnreadable(std::string_view account) override;

 private:
  // The item's bytes when `read` (unlocking it first); nothing, with `problem` set when an
  // item may exist that could not be reached.
  std::optional<Bytes> lookup(std::string_view account, bool read, std::string& problem) const;

  const std::string service_;
  const Limits limits_;
};

}  // namespace quorin
