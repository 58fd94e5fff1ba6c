#pragma once
// Cuts one section out of a Markdown text, for the help the panel shows from the README.

#include <optional>
#include <string>
#include <string_view>

namespace quorin {

// The section whose heading line is exactly `heading` (for example "#### Accessibility"),
// heading included, up to the next heading of the same or a higher level; nothing when no
// line is that heading. Lines inside fenced code blocks are never headings.
std::optional<std::string> markdownSection(std::string_view markdown, std::string_view heading);

}  // namespace quorin
