#pragma once
// In-memory UserDefaults that counts writes (tests only).

#include <map>
#include <string>
#include <variant>

#include "server/user_defaults.h"

namespace quorin {

class FakeUserDefaults final : public UserDefaults {
 public:
  bool contains(std::string_view key) const override { return values_.count(std::string(key)) > 0; }
  bool boolValue(std::string_view key) const override { return valueOr(key, false); }
  std::string stringValue(std::string_view key) const override { return valueOr(key, std::string()); }
  bool setBool(std::string_view key, bool value) override { return set(key, value); }
  bool setString(std::string_view key, std::string_view value) override { return set(key, std::string(value)); }
  int writes = 0;

 private:
  using Value = std::variant<bool, std::string>;
  template <typename T>
  T valueOr(std::string_view key, T fallback) const {
    const auto it = values_.find(std::string(key));
    const T* value = it != values_.end() ? std::get_if<T>(&it->second) : nullptr;
    return value ? *value : fallback;
  }
  bool set(std::string_view key, Value value) {
    ++writes;
    values_[std::string(key)] = std::move(value);
    return true;
  }
  std::map<std::string, Value> values_;
};

}  // namespace quorin
