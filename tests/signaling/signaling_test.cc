#include <gtest/gtest.h>

#include <numeric>

#include "protocol/base64.h"
#include "signaling/session_code.h"
#include "signaling/signal_crypto.h"
#include "signaling/signaling_records.h"

namespace quorin {
namespace {

// Expected identifiers computed with Python's hmac, hashlib and base64 modules:
//   base64.b64encode(hmac.new(secret, b"session:" + code.encode(), hashlib.sha256)
//                    .digest()[:15]).decode().replace("+", "-").replace("/", "_")
TEST(SessionCode, DocumentIdMatchesAnIndependentDerivation) {
  Bytes secret(32);
  std::iota(secret.begin(), secret.end(), 0);
  const std::tuple<std::string, Bytes, std::string> cases[] = {
      {"", secret, "0RfmDXAIZXy376CTfvyB"},
      {"ABC-123", secret, "ZpDWNDjYMbTMeO_eGnPM"},
      // No normalisation: case and surrounding space change the result.
      {"abc-123", secret, "Iv8POg35LPAoxxUYF96n"},
      {" ABC-123", secret, "UKuII14l_8nY-YVG8P2V"},
      {"h\u00e9llo w\u00f6rld \u2713", secret, "wc4fhpSfY7oeQEe77ckl"},
      {"ABC-123", {}, "nXFjIvjZ_Tn9ZtJ-R7eN"},
  };
  for (const auto& [code, key, id] : cases) EXPECT_EQ(SessionCode::documentId(code, key), id) << code;
}

const Bytes kSecret = bytesOf("a shared secret of any length");

// Tokens sealed outside this program: key from Python's hmac module (HKDF-SHA256, no salt,
// info "QuorinRemote.signaling", cross-checked with `openssl kdf ... HKDF`), box from the
// AESGCM class of Python's cryptography package with the fixed nonce shown.
TEST(SignalCrypto, OpensTokensSealedByAnotherImplementation) {
  Bytes secret32(32);
  std::iota(secret32.begin(), secret32.end(), 0);
  // nonce 000102030405060708090a0b
  const auto candidate = SignalCrypto::open<IceCandidateDTO>(
      "AAECAwQFBgcICQoLeIEGf3cPhl1lF8B0d5Yh4agLTnmFxbVd8atrdcE9lbdZZww80tI4GILIvid6A74K2VYOltL"
      "qSgjiSby4Ya3NN9S4QEu/lwUdh+WOIf5EHnLaWQehBJ096INu0y+Ak7g67kR9JPnhp2/SYRctREKQs3+q3XOJA9s=",
      secret32);
  EXPECT_EQ(candidate, (IceCandidateDTO{"candidate:1 1 udp 2122260223 192.168.1.20 54321 typ host", "0", 0}));

  // Empty secret, nonce f0e1d2c3b4a5968778695a4b.
  const auto offer = SignalCrypto::open<SessionDescriptionDTO>(
      "8OHSw7Sllod4aVpLQgrOP00+ibQnbsAlIOd1LlPMFoqtVuON9bjVHehiVyfpOz2p2PyST2A73ow5KUp6TqzgEFL1qp"
      "LfRimkR8c365ZrkMjEtymoMvrvOv19vrEXiaY=",
      Bytes{});
  EXPECT_EQ(offer, (SessionDescriptionDTO{"v=0\r\no=- 46117317 2 IN IP4 127.0.0.1\r\n", "offer"}));
}

TEST(SignalCrypto, SealsWithAFreshNonceAndRejectsAlteredTokensOtherSecretsAndOtherRecords) {
  const IceCandidateDTO record{"candidate:2", std::nullopt, 1};
  const auto token = SignalCrypto::seal(record, kSecret), again = SignalCrypto::seal(record, kSecret);
  ASSERT_TRUE(token && again);
  EXPECT_NE(*token, *again);
  EXPECT_EQ(SignalCrypto::open<IceCandidateDTO>(*again, kSecret), record);
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < token->size() && (*token)[i] != '='; ++i) {
    // Flipping the digit's top bit keeps the text valid Base64, so the tag has to catch it.
    std::string altered = *token;
    altered[i] = kAlphabet[kAlphabet.find(altered[i]) ^ 32];
    ASSERT_TRUE(base64::decode(altered));
    EXPECT_FALSE(SignalCrypto::open<IceCandidateDTO>(altered, kSecret)) << "position " << i;
  }
  EXPECT_FALSE(SignalCrypto::open<IceCandidateDTO>(*token, bytesOf("another secret")));
  EXPECT_FALSE(SignalCrypto::open<IceCandidateDTO>(*token + "\n", kSecret));
  EXPECT_FALSE(SignalCrypto::open<SessionDescriptionDTO>(*token, kSecret));

  // The shortest box (nonce and tag around no ciphertext) opens to empty bytes, which are
  // no record; one byte less cannot be split.
  const auto empty = SignalCrypto::sealBytes({}, kSecret);
  ASSERT_TRUE(empty);
  EXPECT_EQ(SignalCrypto::openBytes(*empty, kSecret), Bytes{});
  EXPECT_FALSE(SignalCrypto::open<SessionDescriptionDTO>(*empty, kSecret));
  EXPECT_FALSE(SignalCrypto::openBytes(base64::encode(ByteView(*base64::decode(*empty)).first(27)), kSecret));
}

TEST(SignalingRecords, IceCandidateMidIsOptionalAndIndexA32BitIntegerAndADescriptionNeedsBothTexts) {
  const IceCandidateDTO noMid{"candidate:1", std::nullopt, 3};
  EXPECT_EQ(json::encodeJson(noMid), R"({"candidate":"candidate:1","sdpMLineIndex":3})");
  EXPECT_EQ(json::decodeJson<IceCandidateDTO>(
                R"({"candidate":"candidate:1","sdpMid":null,"sdpMLineIndex":3,"extra":true})"),
            noMid);
  const auto withIndex = [](const char* index) {
    return json::decodeJson<IceCandidateDTO>(std::string(R"({"candidate":"c","sdpMLineIndex":)") + index + "}");
  };
  EXPECT_EQ(withIndex("2147483647")->sdpMLineIndex, 2147483647);
  EXPECT_EQ(withIndex("-2147483648")->sdpMLineIndex, -2147483648);
  for (const char* bad : {"4294967296", "2147483648", "-2147483649", "0.5", "\"0\"", "null"}) {
    EXPECT_FALSE(withIndex(bad)) << bad;
  }
  EXPECT_FALSE(json::decodeJson<IceCandidateDTO>(R"({"candidate":"c"})"));

  EXPECT_EQ(json::decodeJson<SessionDescriptionDTO>(R"({"type":"pranswer","sdp":"v=0"})"),
            (SessionDescriptionDTO{"v=0", "pranswer"}));
  EXPECT_FALSE(json::decodeJson<SessionDescriptionDTO>(R"({"sdp":"v=0"})"));
}

}  // namespace
}  // namespace quorin
