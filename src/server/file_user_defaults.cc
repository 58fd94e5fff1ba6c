#include "server/file_user_defaults.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/log.h"
#include "identity/atomic_file.h"
#include "protocol/json_codec.h"

namespace quorin {
namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;

json::Json load(const std::filesystem::path& file, bool& reportedUnreadable) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return json::Json::object();
  auto bytes = readSmallFile(file, kMaxFileSize);
  std::optional<json::Json> object;
  if (bytes) object = json::parseObject(textOf(*bytes));
  if (!object) {
    if (!reportedUnreadable) {
      logLine("ignoring unreadable preferences file " + file.string());
      reportedUnreadable = true;
    }
    return json::Json::object();
  }
  return *object;
}

bool truthy(const json::Json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  if (value.is_string()) {
    std::string text = value.get<std::string>();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text == "true" || text == "yes" || text == "1";
  }
  return false;
}

// Replaces the value of `key` in the file; false, with the file untouched, on failure.
bool store(const std::filesystem::path& file, bool& reportedUnreadable, std::string_view key,
           json::Json value) {
  json::Json object = load(file, reportedUnreadable);
  object[std::string(key)] = std::move(value);
  const auto text = json::write(object);
  if (!text || !makePrivateDirectory(file.parent_path())) return false;
  if (!writeFileAtomically(file, bytesOf(*text), 0600)) return false;
  reportedUnreadable = false;
  return true;
}

}  // namespace

std::filesystem::path FileUserDefaults::defaultPath() {
  std::filesystem::path base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".config";
  } else {
    base = ".";
  }
  return base / "quorin-remote" / "defaults.json";
}

FileUserDefaults::FileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

bool FileUserDefaults::contains(std::string_view key) const {
  return load(file_, reportedUnreadable_).contains(key);
}

bool FileUserDefaults::boolValue(std::string_view key) const {
  const json::Json object = load(file_, reportedUnreadable_);
  const auto it = object.find(key);
  return it != object.end() && truthy(*it);
}

bool FileUserDefaults::setBool(std::string_view key, bool value) {
  return store(file_, reportedUnreadable_, key, value);
}

std::string FileUserDefaults::stringValue(std::string_view key) const {
  const json::Json object = load(file_, reportedUnreadable_);
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool FileUserDefaults::setString(std::string_view key, std::string_view value) {
  return store(file_, reportedUnreadable_, key, std::string(value));
}

}  // namespace quorin
