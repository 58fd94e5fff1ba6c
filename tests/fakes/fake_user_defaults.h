#pragma once
// In-memory UserDefaults that counts writes (tests only).

#include <map>
#include <string>

#include "server/user_defaults.h"

namespace quorin {

class FakeUserDefaults final : public UserDefaults {
 public:
  bool contains(std::string_view key) const override {
    return values_.count(std::string(key)) > 0 || strings_.count(std::string(key)) > 0;
  }
  bool boolValue(std::string_view key) const override {
    const auto it = values_.find(std::string(key));
    return it != values_.end() && it->second;
  }
  bool setBool(std::string_view key, bool value) override {
    ++writes;
    strings_.erase(std::string(key));
    values_[std::string(key)] = value;
    return true;
  }
  std::string stringValue(std::string_view key) const override {
    const auto it = strings_.find(std::string(key));
    return it != strings_.end() ? it->second : std::string();
  }
  bool setString(std::string_view key, std::string_view value) override {
    ++writes;
    values_.erase(std::string(key));
    strings_[std::string(key)] = std::string(value);
    return true;
  }
  int writes = 0;

 private:
  std::map<std::string, bool> values_;
  std::map<std::string, std::string> strings_;
};

}  // namespace quorin
