#pragma once
// Accepted connections whose TLS handshake is still under way, held on the server's io thread
// so that no connection reaches the rest of the host before it proved it holds the key.
//
// Bounded in total and per peer address. A newcomer is never refused: when there is no room,
// the oldest pending handshake of the newcomer's address is dropped, or else the oldest of
// all. Peers that connect and stay silent therefore cannot lock a paired client out; with the
// channel's short deadline for the first bytes they do not even hold their place for long.
//
// Thread: construct anywhere; admit() and clear() on the io thread that runs the sockets. The
// ready handler runs there too, once per connection that completed its handshake.

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "transport/message_channel.h"

namespace quorin {

class PendingHandshakes : public std::enable_shared_from_this<PendingHandshakes> {
 public:
  using ReadyHandler = std::function<void(std::unique_ptr<MessageChannel>)>;

  struct Limits {
    std::size_t total = 8;
    std::size_t perAddress = 2;
  };

  // `tls` empty: plain TCP, every connection is ready at once.
  PendingHandshakes(std::shared_ptr<TlsContext> tls, Limits limits, ReadyHandler ready);

  void admit(asio::ip::tcp::socket socket);
  // Drops every pending handshake quietly.
  void clear() { pending_.clear(); }
  std::size_t size() const { return pending_.size(); }

 private:
  struct Entry {
    std::uint64_t id;
    asio::ip::address address;
    std::unique_ptr<MessageChannel> channel;
  };

  void makeRoomFor(const asio::ip::address& address);
  void finished(std::uint64_t id, std::error_code ec);

  std::shared_ptr<TlsContext> tls_;
  Limits limits_;
  ReadyHandler ready_;
  std::deque<Entry> pending_;  // oldest first
  std::uint64_t nextId_ = 0;
};

}  // namespace quorin
