#pragma once
// UserDefaults kept as one JSON object in a small file, replaced atomically on every write,
// so a crash never leaves half a file. Read afresh at every call, so another process (or a
// user editing the file) is seen at once. An unreadable file reads as empty, is logged once,
// and is replaced by the next write. Thread: the main thread.

#include <filesystem>

#include "server/user_defaults.h"

namespace quorin {

class FileUserDefaults final : public UserDefaults {
 public:
  // $XDG_CONFIG_HOME/quorin-remote/defaults.json (~/.config when the variable is unset).
  static std::filesystem::path defaultPath();

  explicit FileUserDefaults(std::filesystem::path file = defaultPath());

  bool contains(std::string_view key) const override;
  bool boolValue(std::string_view key) const override;
  bool setBool(std::string_view key, bool value) override;
  std::string stringValue(std::string_view key) const override;
  bool setString(std::string_view key, std::string_view value) override;

 private:
  std::filesystem::path file_;
  mutable bool reportedUnreadable_ = false;
};

}  // namespace quorin
