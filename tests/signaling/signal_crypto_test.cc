#include "signaling/signal_crypto.h"

#include <gtest/gtest.h>

#include "protocol/base64.h"
#include "signaling/signaling_records.h"

namespace quorin {
namespace {

Bytes secret() { return bytesOf("a shared secret of any length"); }

// Tokens sealed outside this program: key from Python's hmac module (HKDF-SHA256, no salt,
// info "QuorinRemote.signaling", cross-checked with `openssl kdf ... HKDF`), box from the
// AESGCM class of Python's cryptography package with the fixed nonce shown.
TEST(SignalCrypto, OpensTokensSealedByAnotherImplementation) {
  Bytes secret32(32);
  for (std::size_t i = 0; i < secret32.size(); ++i) secret32[i] = static_cast<std::uint8_t>(i);
  // nonce 000102030405060708090a0b
  const auto candidate = SignalCrypto::open<IceCandidateDTO>(
      "AAECAwQFBgcICQoLeIEGf3cPhl1lF8B0d5Yh4agLTnmFxbVd8atrdcE9lbdZZww80tI4GILIvid6A74K2VYOltL"
      "qSgjiSby4Ya3NN9S4QEu/lwUdh+WOIf5EHnLaWQehBJ096INu0y+Ak7g67kR9JPnhp2/SYRctREKQs3+q3XOJA9s=",
      secret32);
  ASSERT_TRUE(candidate);
  EXPECT_EQ(*candidate,
            (IceCandidateDTO{"candidate:1 1 udp 2122260223 192.168.1.20 54321 typ host", "0", 0}));

  // Empty secret, nonce f0e1d2c3b4a5968778695a4b.
  const auto offer = SignalCrypto::open<SessionDescriptionDTO>(
      "8OHSw7Sllod4aVpLQgrOP00+ibQnbsAlIOd1LlPMFoqtVuON9bjVHehiVyfpOz2p2PyST2A73ow5KUp6TqzgEFL1qp"
      "LfRimkR8c365ZrkMjEtymoMvrvOv19vrEXiaY=",
      Bytes{});
  ASSERT_TRUE(offer);
  EXPECT_EQ(*offer, (SessionDescriptionDTO{"v=0\r\no=- 46117317 2 IN IP4 127.0.0.1\r\n", "offer"}));
}

TEST(SignalCrypto, SealsWithAFreshNonceAndTheDocumentedLength) {
  for (std::size_t sdpSize : {0, 1, 2, 5000}) {
    const SessionDescriptionDTO offer{std::string(sdpSize, 's'), "offer"};
    const auto first = SignalCrypto::seal(offer, secret());
    const auto second = SignalCrypto::seal(offer, secret());
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    const std::size_t n = json::encodeJson(offer)->size();
    EXPECT_EQ(first->size(), 4 * ((28 + n + 2) / 3)) << n;
    EXPECT_EQ(SignalCrypto::open<SessionDescriptionDTO>(*second, secret()), offer);
  }
}

TEST(SignalCrypto, EveryAlteredCharacterFailsToOpen) {
  const auto token = SignalCrypto::seal(IceCandidateDTO{"candidate:2", std::nullopt, 1}, secret());
  ASSERT_TRUE(token);
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < token->size() && (*token)[i] != '='; ++i) {
    // Flipping the digit's top bit keeps the text valid Base64, so the tag has to catch it.
    std::string altered = *token;
    altered[i] = kAlphabet[kAlphabet.find(altered[i]) ^ 32];
    ASSERT_TRUE(base64::decode(altered));
    EXPECT_FALSE(SignalCrypto::open<IceCandidateDTO>(altered, secret())) << "position " << i;
  }
}

TEST(SignalCrypto, RejectsOtherSecretsMalformedTokensAndOtherRecords) {
  const auto token = SignalCrypto::seal(SessionDescriptionDTO{"v=0", "answer"}, secret());
  ASSERT_TRUE(token);
  EXPECT_FALSE(SignalCrypto::open<SessionDescriptionDTO>(*token, bytesOf("another secret")));
  EXPECT_FALSE(SignalCrypto::open<SessionDescriptionDTO>(*token + "\n", secret()));
  EXPECT_FALSE(SignalCrypto::open<IceCandidateDTO>(*token, secret()));

  // The shortest box (nonce and tag around no ciphertext) opens to empty bytes, which are
  // no record; one byte less cannot be split.
  const auto empty = SignalCrypto::sealBytes({}, secret());
  ASSERT_TRUE(empty);
  EXPECT_EQ(SignalCrypto::openBytes(*empty, secret()), Bytes{});
  EXPECT_FALSE(SignalCrypto::open<SessionDescriptionDTO>(*empty, secret()));
  const Bytes box = *base64::decode(*empty);
  EXPECT_FALSE(SignalCrypto::openBytes(base64::encode(ByteView(box).first(27)), secret()));
}

}  // namespace
}  // namespace quorin
