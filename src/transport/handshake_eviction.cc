#include "transport/handshake_eviction.h"

#include <algorithm>
#include <tuple>

namespace quorin::HandshakeEviction {
namespace {

// Greater goes first.
auto urgency(const Candidate& c) { return std::tuple(c.stalled, !c.paired, c.connections); }

}  // namespace

asio::ip::address group(const asio::ip::address& address) {
  if (address.is_v4()) return address;
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes);
}

Verdict choose(std::span<const Candidate> pending, const Candidate& newcomer, const Limits& limits) {
  const auto inGroup = std::count_if(pending.begin(), pending.end(),
                                     [&](const Candidate& c) { return c.group == newcomer.group; });
  const bool groupFull = static_cast<std::size_t>(inGroup) >= limits.perGroup;
  if (!groupFull && pending.size() < limits.total) return {};
  std::optional<std::size_t> victim;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (groupFull && pending[i].group != newcomer.group) continue;
    if (!victim || urgency(pending[i]) > urgency(pending[*victim])) victim = i;  // ties: the older
  }
  if (!victim) return {false, std::nullopt};
  const Candidate& worst = pending[*victim];
  if (urgency(newcomer) > urgency(worst) || (urgency(newcomer) == urgency(worst) && worst.age < limits.settle)) {
    return {false, std::nullopt};
  }
  return {true, victim};
}

}  // namespace quorin::HandshakeEviction
