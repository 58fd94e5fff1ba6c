#pragma once
// Finds the hosts advertised on the local network ("_quorinremote._tcp" over DNS-SD) through
// avahi-daemon. Blocks the calling thread while it browses; any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorin {

struct AdvertisedHost {
  std::string name;     // the service's instance name: the host's display name
  std::string address;  // numeric; an IPv6 link-local address carries "%interface"
  std::uint16_t port = 0;
  bool operator==(const AdvertisedHost&) const = default;
};

struct BrowseResult {
  std::vector<AdvertisedHost> hosts;  // each resolved address once, in the order found
  std::string error;                  // why browsing was impossible; empty otherwise
};

// Says when browsing may stop. `settled`: the daemon has reported every service it knows of
// and each of them has been resolved (or failed to).
using BrowseDone = std::function<bool(const std::vector<AdvertisedHost>& hosts, bool settled)>;

// Browses until `done` returns true or `limit` has passed, whichever comes first.
BrowseResult browseHosts(std::chrono::milliseconds limit, const BrowseDone& done);

}  // namespace quorin
