#pragma once
// The name under which the host presents itself: the DNS-SD instance name, the greeting's
// host name and the name in the pairing code. Callable from any thread.

#include <string>
#include <string_view>

namespace quorin::HostInfo {

inline constexpr std::string_view kFallbackName = "Quorin Mac";

// displayName of the machine's current host name, read afresh at every call.
std::string name();

// `hostName` with every ".local" removed (case-sensitive, anywhere, in one left-to-right
// pass); kFallbackName when nothing is left.
std::string displayName(std::string_view hostName);

}  // namespace quorin::HostInfo
