#pragma once
// The login item of a freedesktop session: the file
// $XDG_CONFIG_HOME/autostart/quorin-remote-host.desktop (~/.config when the variable is unset
// or not absolute), which the session starts at login. Thread: the main thread.

#include <filesystem>
#include <string>

#include "app/login_item.h"

namespace quorin {

class AutostartEntry final : public LoginItem {
 public:
  static constexpr const char* kFileName = "quorin-remote-host.desktop";

  // The entry starts `program` (an absolute path) without options. A path with a control
  // character other than a line break or tab cannot be written: setEnabled(true) fails.
  explicit AutostartEntry(std::string program);

  // Where the entry lives, from the environment at this moment.
  static std::filesystem::path path();

  // The file exists and the user has not hidden it (Hidden=true).
  bool isEnabled() const override;
  bool setEnabled(bool enabled) override;

 private:
  std::string program_;
};

}  // namespace quorin
