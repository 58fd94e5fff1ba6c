#include "app/markdown_section.h"

namespace quorin {
namespace {

// The heading level of a line ("## x" is 2), 0 for a line that is no heading.
std::size_t headingLevel(std::string_view line) {
  const std::size_t hashes = line.find_first_not_of('#');
  if (hashes == 0 || hashes > 6 || hashes == std::string_view::npos) return 0;
  return line[hashes] == ' ' ? hashes : 0;
}

}  // namespace

std::optional<std::string> markdownSection(std::string_view markdown, std::string_view heading) {
  const std::size_t level = headingLevel(heading);
  std::string section;
  bool inside = false;
  bool fenced = false;
  std::size_t start = 0;
  while (start < markdown.size()) {
    std::size_t end = markdown.find('\n', start);
    if (end == std::string_view::npos) end = markdown.size();
    const std::string_view line = markdown.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("```")) fenced = !fenced;
    const std::size_t lineLevel = fenced ? 0 : headingLevel(line);
    if (inside && lineLevel != 0 && lineLevel <= level) break;
    if (!inside && lineLevel != 0 && line == heading) inside = true;
    if (inside) {
      section += line;
      section += '\n';
    }
  }
  if (!inside) return std::nullopt;
  return section;
}

}  // namespace quorin
