#pragma once
// How often each address group (HandshakeEviction::group) connected lately and which ones
// completed a handshake lately: what tells a phone, which connects once, from a flooding
// address, which connects dozens of times a second.
//
// Bounded: at most `capacity` groups are counted (the one that connected longest ago is
// forgotten first) and at most kPairedCapacity groups are remembered as paired. Only a
// completed handshake, which needs the key, makes a group paired, so a flood of random
// addresses can flush the counts but not the paired groups.
//
// Pure bookkeeping: the caller passes the time. Thread: the owner's, one at a time.

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

namespace quorin {

class AddressHistory {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Connections count for one to two windows: whole windows keep the counts whole, so that
  // addresses that connected as often tie and the older handshake goes first.
  static constexpr std::chrono::seconds kWindow{5};
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::size_t kPairedCapacity = 16;
  // A phone that dropped off the network comes back within this and is still known.
  static constexpr std::chrono::minutes kPairedMemory{10};

  explicit AddressHistory(std::size_t capacity = kCapacity) : capacity_(capacity) {}

  // Counts a connection from `group` and returns its recent connections, this one included.
  std::size_t connected(const asio::ip::address& group, TimePoint now);
  std::size_t connections(const asio::ip::address& group, TimePoint now) const;

  void paired(const asio::ip::address& group, TimePoint now);
  bool pairedLately(const asio::ip::address& group, TimePoint now) const;

 private:
  struct Counts {
    asio::ip::address group;
    std::int64_t window;  // the window `current` counts in
    std::size_t current;
    std::size_t previous;
    std::size_t recent(std::int64_t now) const;
  };
  struct Paired {
    asio::ip::address group;
    TimePoint when;
  };

  static std::int64_t windowOf(TimePoint time) { return time.time_since_epoch() / kWindow; }

  std::size_t capacity_;
  std::list<Counts> counts_;  // the latest to connect first
  std::unordered_map<asio::ip::address, std::list<Counts>::iterator> index_;
  std::vector<Paired> paired_;  // oldest first
};

}  // namespace quorin
