#pragma once
// The drawing side of the latency benchmarks' clock, and the CPU a process used, for the
// benchmarks that draw without decoding: a probe draws the monotonic clock as a barcode in the
// top left corner of the screen (kBits cells of kCell pixels: a row of bits, then the same bits
// inverted as a check), taken just before each picture is shown.

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace quorin::latency {

using Clock = std::chrono::steady_clock;

constexpr int kBits = 40;     // microseconds of the monotonic clock, modulo 2^40 (12 days)
constexpr int kCell = 24;     // pixels per bit, square
constexpr int kRows = 2;      // the bits, then the same bits inverted as a check

inline std::uint64_t nowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// Whether bit `bit` of row `row` of the barcode for `time` is white.
inline bool barcodeCellWhite(std::uint64_t time, int row, int bit) {
  return ((time >> (kBits - 1 - bit)) & 1) != (row == 1);
}

// CPU seconds (user + system) a process has used so far.
inline double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

}  // namespace quorin::latency
