#pragma once
// Which pending handshake gives way when a newcomer arrives and there is no room (see
// PendingHandshakes). Pure: the caller says how far each handshake got, so the rule can be
// checked as a table. Thread: any.
//
// The rule: a handshake whose client presented the accepted identity is never dropped for
// one that has not; among the others the newest silent one goes first (the older ones meet
// their first-bytes deadline soon), then the one that spoke longest ago (a real client gets
// from its first bytes to its identity within a round trip). When the newcomer's group
// holds `perGroup` handshakes, the victim comes from that group.

#include <asio/ip/address.hpp>

#include <cstddef>
#include <optional>

#include "transport/message_channel.h"

namespace quorin::HandshakeEviction {

struct Limits {
  std::size_t total;
  std::size_t perGroup;
};

// The newcomer enters after `victim`, if any, was dropped; `admit` false turns it away.
struct Verdict {
  bool admit = true;
  std::optional<std::size_t> victim;
  bool operator==(const Verdict&) const = default;
};

// Addresses that one machine can hold at once count as one: an IPv6 address stands for its
// /64, an IPv4-mapped IPv6 address for the IPv4 address.
asio::ip::address group(const asio::ip::address& address);

// `size` handshakes are pending, oldest first; `groupOf(i)` and `progressOf(i)` describe the
// i-th. progressOf is asked newest first and only as far as needed, since it may cost a
// system call.
template <class GroupOf, class ProgressOf>
Verdict choose(std::size_t size, const asio::ip::address& newcomer, const Limits& limits,
               GroupOf&& groupOf, ProgressOf&& progressOf) {
  using Progress = MessageChannel::Progress;
  std::size_t inGroup = 0;
  for (std::size_t i = 0; i < size; ++i) inGroup += groupOf(i) == newcomer;
  const bool groupFull = inGroup >= limits.perGroup;
  if (!groupFull && size < limits.total) return {};
  auto candidate = [&](std::size_t i, Progress progress) {
    return (!groupFull || groupOf(i) == newcomer) && progressOf(i) == progress;
  };
  for (std::size_t i = size; i-- > 0;) {
    if (candidate(i, Progress::silent)) return {true, i};
  }
  for (std::size_t i = 0; i < size; ++i) {
    if (candidate(i, Progress::spoke)) return {true, i};
  }
  return {false, std::nullopt};
}

}  // namespace quorin::HandshakeEviction
