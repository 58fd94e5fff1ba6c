#pragma once
// The user's preferences, a few named values that survive restarts. FileUserDefaults is the
// real store; tests use a fake. Thread: the main thread.

#include <string>
#include <string_view>

namespace quorin {

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  // Whether any value at all is stored under `key`.
  virtual bool contains(std::string_view key) const = 0;
  // The value read as a Boolean: true, a non-zero number, or the text "true", "yes" or "1"
  // in any letter case; false for anything else and when absent.
  virtual bool boolValue(std::string_view key) const = 0;
  // False when the value could not be stored; the stored values are then unchanged.
  virtual bool setBool(std::string_view key, bool value) = 0;
  // The value when it is a text; empty for anything else and when absent.
  virtual std::string stringValue(std::string_view key) const = 0;
  // False when the value could not be stored; the stored values are then unchanged.
  virtual bool setString(std::string_view key, std::string_view value) = 0;
};

}  // namespace quorin
