#pragma once
// The host's one log. Every line starts with "QuorinRemote: " and goes to syslog
// (the journal) and to stderr. Callable from any thread.

#include <functional>
#include <string>
#include <string_view>

namespace quorin {

inline constexpr std::string_view kLogPrefix = "QuorinRemote: ";

// Writes kLogPrefix + message as one line.
void logLine(std::string_view message);

// Replaces where lines go (tests capture them); an empty sink restores syslog + stderr.
// The sink receives the whole line, prefix included, and may be called from any thread.
using LogSink = std::function<void(const std::string& line)>;
void setLogSink(LogSink sink);

}  // namespace quorin
