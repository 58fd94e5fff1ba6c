#include "app/terminal_qr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "app/command_output.h"

namespace quorin {
namespace {

// The half-block drawing as a binary PGM, 6 x 6 pixels a module: each character cell holds
// the modules of two rows (a full block both light, an upper or lower half one of them).
std::string pgmOf(const std::string& drawing) {
  constexpr int kScale = 6;
  std::vector<std::string> rows;  // a byte a module: 255 light, 0 dark
  std::istringstream lines(std::regex_replace(drawing, std::regex("\x1b\\[[0-9;]*m"), ""));
  for (std::string line; std::getline(lines, line);) {
    std::string top, bottom;
    for (std::size_t i = 0, width; i < line.size(); i += width) {
      width = line[i] == ' ' ? 1 : 3;
      const std::string cell = line.substr(i, width);
      top += cell == "\u2588" || cell == "\u2580" ? '\xff' : '\0';
      bottom += cell == "\u2588" || cell == "\u2584" ? '\xff' : '\0';
    }
    rows.insert(rows.end(), {top, bottom});
  }
  std::string pgm = "P5\n" + std::to_string(rows.at(0).size() * kScale) + " " +
                    std::to_string(rows.size() * kScale) + "\n255\n";
  for (const std::string& row : rows) {
    for (int dy = 0; dy < kScale; ++dy) {
      for (char module : row) pgm.append(kScale, module);
    }
  }
  return pgm;
}

TEST(TerminalQr, DrawingScansBackToTheExactText) {
  const std::string text = R"({"key":"q0H\/abc+def=","name":"Büro","v":1})";
  const auto drawing = renderTerminalQr(text);
  ASSERT_TRUE(drawing);
  const std::string path = "/tmp/quorin-qr-" + std::to_string(getpid()) + ".pgm";
  std::ofstream(path, std::ios::binary) << pgmOf(*drawing);
  const std::string decoded = commandOutput("zbarimg --raw -q -Sbinary " + path);
  std::remove(path.c_str());
  EXPECT_EQ(decoded, text) << "the exact bytes, UTF-8 included";
}

}  // namespace
}  // namespace quorin
