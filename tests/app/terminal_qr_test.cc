#include "app/terminal_qr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "app/command_output.h"

namespace quorin {
namespace {

// Turns the half-block drawing back into light/dark modules: each character cell holds the
// module of two rows.
std::vector<std::vector<bool>> modulesOf(const std::string& drawing) {
  std::vector<std::vector<bool>> rows;
  std::size_t start = 0;
  while (start < drawing.size()) {
    std::size_t end = drawing.find('\n', start);
    std::string line = drawing.substr(start, end - start);
    start = end + 1;
    std::vector<bool> top, bottom;  // true = light
    for (std::size_t i = 0; i < line.size();) {
      if (line[i] == '\x1b') {
        i = line.find('m', i) + 1;
        continue;
      }
      const std::string cell = line.compare(i, 3, "\u2588") == 0   ? "full"
                               : line.compare(i, 3, "\u2580") == 0 ? "top"
                               : line.compare(i, 3, "\u2584") == 0 ? "bottom"
                                                                   : " ";
      top.push_back(cell == "full" || cell == "top");
      bottom.push_back(cell == "full" || cell == "bottom");
      i += cell == " " ? 1 : 3;
    }
    rows.push_back(top);
    rows.push_back(bottom);
  }
  return rows;
}

TEST(TerminalQr, DrawingScansBackToTheExactText) {
  const std::string text = R"({"key":"q0H\/abc+def=","name":"Büro","v":1})";
  const auto drawing = renderTerminalQr(text);
  ASSERT_TRUE(drawing);
  const auto rows = modulesOf(*drawing);
  ASSERT_FALSE(rows.empty());

  // Scale each module to 6x6 pixels in a plain PGM and let zbar read it.
  constexpr int kScale = 6;
  const int width = static_cast<int>(rows[0].size()) * kScale;
  const int height = static_cast<int>(rows.size()) * kScale;
  const std::string path = "/tmp/quorin-qr-" + std::to_string(getpid()) + ".pgm";
  {
    std::ofstream image(path, std::ios::binary);
    image << "P5\n" << width << " " << height << "\n255\n";
    for (const auto& row : rows) {
      for (int dy = 0; dy < kScale; ++dy) {
        for (bool light : row) {
          for (int dx = 0; dx < kScale; ++dx) image.put(light ? char(255) : char(0));
        }
      }
    }
  }
  const std::string decoded = commandOutput("zbarimg --raw -q -Sbinary " + path);
  std::remove(path.c_str());
  EXPECT_EQ(decoded, text) << "the exact bytes, UTF-8 included";
}

}  // namespace
}  // namespace quorin
