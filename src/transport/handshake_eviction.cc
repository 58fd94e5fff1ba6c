#include "transport/handshake_eviction.h"

#include <algorithm>

namespace quorin::HandshakeEviction {

asio::ip::address group(const asio::ip::address& address) {
  if (address.is_v4()) return address;
  const asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::address_v6(bytes);
}

}  // namespace quorin::HandshakeEviction
