#pragma once
// A LoginItem in memory whose changes can be made to fail (tests only).

#include <vector>

#include "app/login_item.h"

namespace quorin {

class FakeLoginItem final : public LoginItem {
 public:
  bool enabled = false;
  bool failChanges = false;
  std::vector<bool> requests;  // every setEnabled, in order

  bool isEnabled() const override { return enabled; }
  bool setEnabled(bool value) override {
    requests.push_back(value);
    if (failChanges) return false;
    enabled = value;
    return true;
  }
};

}  // namespace quorin
