#pragma once
// The help behind the permission rows' "Grant": a window with the README's section on that
// permission (shipped inside the program), headed by what this session is, so the user can
// tell which of its cases applies. Thread: the GUI thread.

#include <string_view>

namespace quorin::HelpPage {

inline constexpr std::string_view kScreenRecording = "Screen Recording";
inline constexpr std::string_view kAccessibility = "Accessibility";

// Opens the help on `topic` (one of the two above), or brings its window to the front.
void show(std::string_view topic);

}  // namespace quorin::HelpPage
