#pragma once
// An in-memory SecretBackend whose saves and loads can be made to fail (tests only). A failed
// load counts as a store that may hold an item it cannot read.

#include <map>

#include "identity/secret_backend.h"

namespace quorin {

class FakeSecretBackend final : public SecretBackend {
 public:
  bool failSaves = false;
  bool failLoads = false;
  std::map<std::string, Bytes, std::less<>> items;

  bool save(ByteView value, std::string_view account) override {
    if (!failSaves) items[std::string(account)] = Bytes(value.begin(), value.end());
    return !failSaves;
  }
  std::optional<Bytes> load(std::string_view account) override {
    const auto it = items.find(account);
    if (failLoads || it == items.end()) return std::nullopt;
    return it->second;
  }
  bool deleteItem(std::string_view account) override {
    return !failLoads && items.erase(std::string(account)) > 0;
  }
  std::vector<std::string> allAccounts() override {
    std::vector<std::string> accounts;
    for (const auto& item : items) accounts.push_back(item.first);
    return accounts;
  }
  std::optional<std::string> whyUnreadable(std::string_view) override {
    if (!failLoads) return std::nullopt;
    return "the fake keyring is locked";
  }
};

}  // namespace quorin
