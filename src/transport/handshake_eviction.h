#pragma once
// Which pending handshake gives way when a newcomer arrives and there is no room (see
// PendingHandshakes). Pure: the caller describes each handshake, so the rule can be checked
// as a table. Thread: any.
//
// The rule, first to go first:
//  1. a handshake that presented the accepted identity and then stalled: a real client
//     finishes within a round trip of that, and the identity is public, so it buys nothing;
//  2. a stranger's before one from a group that completed a handshake lately;
//  3. the one whose group connected most often lately: a phone connects once, a flooding
//     address dozens of times a second. How long a handshake has been silent, or how many
//     places its group holds, cannot tell them apart: at 10,000 connections a second every
//     handshake is old within milliseconds, and 249 flooding addresses hold about one place
//     each out of 128;
//  4. the oldest.
// The newcomer is turned away when it would go before every pending handshake, and when it
// ties on 1-3 with the first to go while that one is younger than `settle`: a flooding
// address then pays for its own connections with an accept and a close, not with a TLS
// engine built and torn down each time. Without that, a flood of 10,000 connections a second
// from 249 addresses kept the io thread of a loaded machine so busy that the accept queue
// overflowed and the phone's connect itself was dropped. When the newcomer's group holds
// `perGroup` handshakes, the victim comes from that group.
// A flood from more addresses than there are places, each connecting about once, looks like
// phones: then places change hands oldest first, each at most once per `settle`.

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

namespace quorin::HandshakeEviction {

struct Limits {
  std::size_t total;
  std::size_t perGroup;
  // Time enough for a phone to say its ClientHello and get an answer.
  std::chrono::milliseconds settle{250};
};

struct Candidate {
  asio::ip::address group;  // see group()
  std::size_t connections = 0;  // of the group lately, the newcomer's own included
  bool paired = false;  // the group completed a handshake lately
  bool stalled = false;  // presented the identity a while ago and has not finished
  std::chrono::steady_clock::duration age{};  // since it was admitted
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

// `pending` oldest first.
Verdict choose(std::span<const Candidate> pending, const Candidate& newcomer, const Limits& limits);

}  // namespace quorin::HandshakeEviction
