#include "app/autostart_entry.h"

#include <cstdlib>
#include <optional>
#include <sstream>
#include <system_error>

#include "identity/atomic_file.h"

namespace quorin {
namespace {

// A desktop entry's Exec argument: quoted when it holds anything but plain path characters,
// with the characters the Exec syntax reserves escaped inside the quotes; then, for the string
// value the whole line is, '%' doubled, backslashes doubled once more and line breaks and
// tabs written as \n, \r, \t, so that no character of the path can end the line. Nothing for
// a path with another control character, which a desktop entry cannot carry.
std::optional<std::string> execValue(const std::string& program) {
  const bool plain = program.find_first_not_of(
                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-") ==
                     std::string::npos;
  std::string quoted = plain ? "" : "\"";
  for (const char c : program) {
    if (!plain && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
    quoted += c;
  }
  if (!plain) quoted += '"';
  std::string value;
  for (const char c : quoted) {
    switch (c) {
      case '%': value += "%%"; break;
      case '\\': value += "\\\\"; break;
      case '\n': value += "\\n"; break;
      case '\r': value += "\\r"; break;
      case '\t': value += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
        value += c;
    }
  }
  return value;
}

}  // namespace

AutostartEntry::AutostartEntry(std::string program) : program_(std::move(program)) {}

std::filesystem::path AutostartEntry::path() {
  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME")) {
    config = std::filesystem::path(home) / ".config";
  }
  return config / "autostart" / kFileName;
}

bool AutostartEntry::isEnabled() const {
  const auto contents = readSmallFile(path(), 64 * 1024);
  if (!contents) return false;
  std::istringstream lines(textOf(*contents));
  for (std::string line; std::getline(lines, line);) {
    if (line == "Hidden=true") return false;
  }
  return true;
}

bool AutostartEntry::setEnabled(bool enabled) {
  const std::filesystem::path file = path();
  std::error_code error;
  if (!enabled) {
    std::filesystem::remove(file, error);  // a missing file is no error
    return !error;
  }
  const auto exec = execValue(program_);
  if (!exec) return false;
  std::filesystem::create_directories(file.parent_path(), error);
  if (error) return false;
  const std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Quorin Remote Host\n"
      "Comment=Lets a paired phone or tablet see and control this desktop\n"
      "Exec=" + *exec + "\n"
      "Icon=quorin-remote-host\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  return writeFileAtomically(file, bytesOf(entry), 0644);
}

}  // namespace quorin
