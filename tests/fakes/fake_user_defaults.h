#pragma once
// In-memory UserDefaults that counts writes (tests only).

#include <map>
#include <string>
#include <variant>

#include "server/user_defaults.h"

namespace quorin {

class FakeUserDefaults final : public UserDefaults {
 public:
  bool contains(std::string_view key) const override { return values_.count(key) > 0; }
  bool boolValue(std::string_view key) const override { return valueOr<bool>(key); }
  std::string stringValue(std::string_view key) const override { return valueOr<std::string>(key); }
  bool setBool(std::string_view key, bool value) override { return set(key, value); }
  bool setString(std::string_view key, std::string_view value) override { return set(key, std::string(value)); }
  int writes = 0;

 private:
  using Value = std::variant<bool, std::string>;
  template <typename T>
  T valueOr(std::string_view key) const {
    const auto it = values_.find(key);
    return it != values_.end() && std::holds_alternative<T>(it->second) ? std::get<T>(it->second) : T{};
  }
  bool set(std::string_view key, Value value) {
    ++writes;
    values_[std::string(key)] = std::move(value);
    return true;
  }
  std::map<std::string, Value, std::less<>> values_;
};

}  // namespace quorin
