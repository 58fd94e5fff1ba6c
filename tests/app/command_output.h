#pragma once
// Runs a shell command and returns what it printed (tests only).

#include <array>
#include <cstdio>
#include <string>

namespace quorin {

inline std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 4096> buffer{};
    while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
    pclose(pipe);
  }
  return out;
}

}  // namespace quorin
