#include "signaling/crypto.h"

#include <numeric>

#include <gtest/gtest.h>

namespace quorin::crypto {
namespace {

std::string hex(const std::optional<Bytes>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes.value_or(Bytes{})) out += {kDigits[b >> 4], kDigits[b & 15]};
  return out;
}

Bytes counting(std::uint8_t first, std::size_t count) {
  Bytes bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// RFC 4231 section 4: short keys, and a key longer than the hash block.
TEST(Crypto, HmacSha256MatchesRfc4231) {
  EXPECT_EQ(hex(hmacSha256(Bytes(20, 0x0b), bytesOf("Hi There"))),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hex(hmacSha256(Bytes(131, 0xaa),
                           bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"))),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

// RFC 5869 appendix A, cases 1 and 3 (no salt, no info); both outputs span two blocks.
TEST(Crypto, HkdfSha256MatchesRfc5869) {
  EXPECT_EQ(hex(hkdfSha256(Bytes(22, 0x0b), counting(0x00, 13), counting(0xf0, 10), 42)),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
  EXPECT_EQ(hex(hkdfSha256(Bytes(22, 0x0b), {}, {}, 42)),
            "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

}  // namespace
}  // namespace quorin::crypto
