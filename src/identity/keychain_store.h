#pragma once
// The host's small secrets, one item per account name, all under one service name.
// Stateless apart from the process-wide choice of backend: every read goes to the backend.
// Operations are synchronous, may block on the keyring for a limited time (an unlock prompt
// the longest), may be called from any thread, and
// report failure only through their result (false, nothing, an empty list); nothing is
// thrown. The system's backend logs where each item is kept (system_secret_backend.h).
// An empty byte string is a present value, distinct from absent.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "identity/secret_backend.h"

namespace quorin::KeychainStore {

inline constexpr std::string_view kService = "com.quorinlabs.QuorinRemote";

// Replaces the account's item; true when the new value is stored. On false the previous
// value, if any, is still stored.
bool save(ByteView value, std::string_view account);
// The account's bytes; nothing when there is no readable item.
std::optional<Bytes> load(std::string_view account);
// True when an item was deleted; a missing item gives false.
bool deleteItem(std::string_view account);
// Account names of all items of the service; empty on failure.
std::vector<std::string> allAccounts();
// Why load gives nothing although an item may exist that cannot be read now (a locked
// keyring, an unreadable file): what to do, as SecretBackend::whyUnreadable says.
std::optional<std::string> whyUnreadable(std::string_view account);
// Keeps a copy of the account's item before it is replaced, as SecretBackend::keepAside says.
bool keepAside(std::string_view account);

// Points the store at `backend`; nullptr goes back to the system's backend.
void setBackend(std::shared_ptr<SecretBackend> backend);

// The system's backend: the Secret Service when it answers on the session bus, together with
// the file store, which also serves alone when none answers; the choice is logged. The store
// makes it once, on first use without an override, and keeps it for the process.
std::shared_ptr<SecretBackend> chooseBackend();

}  // namespace quorin::KeychainStore
