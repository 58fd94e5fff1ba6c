#include "server/host_info.h"

#include <limits.h>
#include <unistd.h>

namespace quorin::HostInfo {

std::string name() {
  char buffer[HOST_NAME_MAX + 1] = {};
  // A failed call leaves the buffer empty, which gives the fallback name.
  if (::gethostname(buffer, sizeof buffer - 1) != 0) buffer[0] = '\0';
  return displayName(buffer);
}

std::string displayName(std::string_view hostName) {
  constexpr std::string_view kSuffix = ".local";
  std::string result;
  result.reserve(hostName.size());
  std::size_t from = 0;
  for (auto at = hostName.find(kSuffix); at != std::string_view::npos;
       at = hostName.find(kSuffix, from)) {
    result.append(hostName.substr(from, at - from));
    from = at + kSuffix.size();
  }
  result.append(hostName.substr(from));
  return result.empty() ? std::string(kFallbackName) : result;
}

}  // namespace quorin::HostInfo
