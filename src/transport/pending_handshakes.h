#pragma once
// Accepted connections whose TLS handshake is still under way, held on the server's io thread
// so that no connection reaches the rest of the host before it proved it holds the key.
//
// Bounded in total and per address group (HandshakeEviction::group). When there is no room,
// a pending handshake gives way to the newcomer by HandshakeEviction's rule, fed from an
// AddressHistory of how often each group connected and which ones completed a handshake
// lately: a handshake that presented the identity more than `identifiedGrace` ago goes first,
// then the strangers' from the groups that connect most; a newcomer no less busy than those
// is mostly turned away, for the price of an accept and a close. So neither stalled
// handshakes nor a flood from a few hundred addresses lock a paired client out, and the
// history is bounded however many addresses there are. A pending handshake holds a
// socket and a TLS engine (about 150 KiB under a flood, no read buffer), so the defaults
// bound this to about 20 MiB and 128 descriptors.
//
// Handshakes that fail, give way or are turned away are not logged one by one: one line per
// kSummaryInterval that had any says "N connections failed their handshake in the last 10 s
// (last: <reason>)"; clear() writes the line for the interval under way.
//
// Thread: construct anywhere; admit() and clear() on the io thread that runs the sockets. The
// ready handler runs there too, once per connection that completed its handshake.

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/address_history.h"
#include "transport/handshake_eviction.h"
#include "transport/message_channel.h"

namespace quorin {

struct PendingHandshakeLimits {
  std::size_t total;
  std::size_t perGroup;
  // A real client finishes within a round trip of presenting the identity.
  std::chrono::milliseconds identifiedGrace{1000};
};

class PendingHandshakes : public std::enable_shared_from_this<PendingHandshakes> {
 public:
  using ReadyHandler = std::function<void(std::unique_ptr<MessageChannel>)>;
  using Limits = PendingHandshakeLimits;

  // What the host uses. Silent peers are cut off after 2 s, so at thousands of connections
  // a second the table stays full and the flooding addresses' handshakes keep giving way.
  static constexpr Limits kDefaultLimits{.total = 128, .perGroup = 16};
  static constexpr std::chrono::seconds kSummaryInterval{10};

  // `tls` empty: plain TCP, every connection is ready at once.
  PendingHandshakes(std::shared_ptr<TlsContext> tls, Limits limits, ReadyHandler ready);

  void admit(asio::ip::tcp::socket socket);
  // Drops every pending handshake quietly.
  void clear();
  std::size_t size() const { return pending_.size(); }

 private:
  struct Entry {
    std::uint64_t id;
    asio::ip::address group;
    AddressHistory::TimePoint admitted;
    std::unique_ptr<MessageChannel> channel;
  };

  HandshakeEviction::Candidate describe(const Entry& entry, AddressHistory::TimePoint now) const;
  void finished(std::uint64_t id, std::error_code ec);
  void countFailure(std::string reason);
  void logFailures();

  std::shared_ptr<TlsContext> tls_;
  Limits limits_;
  ReadyHandler ready_;
  std::deque<Entry> pending_;  // oldest first
  AddressHistory history_;
  std::vector<HandshakeEviction::Candidate> candidates_;  // pending_ described, kept for its capacity
  std::uint64_t nextId_ = 0;
  std::optional<asio::steady_timer> summaryTimer_;  // on the sockets' executor, from the first admit
  std::size_t failures_ = 0;  // in the interval under way
  std::string lastFailure_;
};

}  // namespace quorin
