#include "transport/address_history.h"

#include <algorithm>

namespace quorin {

std::size_t AddressHistory::Counts::recent(std::int64_t now) const {
  if (window == now) return current + previous;
  return window == now - 1 ? current : 0;
}

std::size_t AddressHistory::connected(const asio::ip::address& group, TimePoint now) {
  const std::int64_t window = windowOf(now);
  auto found = index_.find(group);
  if (found == index_.end()) {
    if (counts_.size() >= capacity_) {
      index_.erase(counts_.back().group);
      counts_.pop_back();
    }
    counts_.push_front({group, window, 0, 0});
    found = index_.emplace(group, counts_.begin()).first;
  } else {
    counts_.splice(counts_.begin(), counts_, found->second);
  }
  Counts& counts = *found->second;
  if (counts.window != window) {
    counts.previous = counts.window == window - 1 ? counts.current : 0;
    counts.current = 0;
    counts.window = window;
  }
  ++counts.current;
  return counts.current + counts.previous;
}

std::size_t AddressHistory::connections(const asio::ip::address& group, TimePoint now) const {
  const auto found = index_.find(group);
  return found == index_.end() ? 0 : found->second->recent(windowOf(now));
}

void AddressHistory::paired(const asio::ip::address& group, TimePoint now) {
  std::erase_if(paired_, [&](const Paired& p) { return p.group == group; });
  if (paired_.size() >= kPairedCapacity) paired_.erase(paired_.begin());
  paired_.push_back({group, now});
}

bool AddressHistory::pairedLately(const asio::ip::address& group, TimePoint now) const {
  return std::any_of(paired_.begin(), paired_.end(),
                     [&](const Paired& p) { return p.group == group && now - p.when < kPairedMemory; });
}

}  // namespace quorin
