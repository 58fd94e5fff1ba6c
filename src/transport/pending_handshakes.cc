#include "transport/pending_handshakes.h"

#include <algorithm>

namespace quorin {
namespace {

asio::ip::address plainAddress(const asio::ip::tcp::socket& socket) {
  std::error_code ec;
  asio::ip::address address = socket.remote_endpoint(ec).address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

}  // namespace

PendingHandshakes::PendingHandshakes(std::shared_ptr<TlsContext> tls, Limits limits, ReadyHandler ready)
    : tls_(std::move(tls)), limits_(limits), ready_(std::move(ready)) {}

void PendingHandshakes::admit(asio::ip::tcp::socket socket) {
  const asio::ip::address address = plainAddress(socket);
  makeRoomFor(address);
  const std::uint64_t id = nextId_++;
  pending_.push_back({id, address, std::make_unique<MessageChannel>(std::move(socket), tls_)});
  pending_.back().channel->handshake([weak = weak_from_this(), id](std::error_code ec) {
    if (auto self = weak.lock()) self->finished(id, ec);
  });
}

void PendingHandshakes::makeRoomFor(const asio::ip::address& address) {
  auto sameAddress = [&](const Entry& e) { return e.address == address; };
  if (static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(), sameAddress)) >=
      limits_.perAddress) {
    pending_.erase(std::find_if(pending_.begin(), pending_.end(), sameAddress));
  } else if (pending_.size() >= limits_.total && !pending_.empty()) {
    pending_.pop_front();
  }
}

void PendingHandshakes::finished(std::uint64_t id, std::error_code ec) {
  auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Entry& e) { return e.id == id; });
  if (it == pending_.end()) return;  // dropped to make room
  std::unique_ptr<MessageChannel> channel = std::move(it->channel);
  pending_.erase(it);
  if (!ec && ready_) ready_(std::move(channel));
}

}  // namespace quorin
