#pragma once
// A fresh folder under the temporary directory, removed with the object (tests only).

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace quorin {

struct TemporaryFolder {
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorin-test.XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TemporaryFolder() { std::filesystem::remove_all(path); }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  std::filesystem::path path;
};

}  // namespace quorin
