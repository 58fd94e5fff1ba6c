#include "identity/pairing_payload.h"

#include <gtest/gtest.h>

#include "protocol/base64.h"

namespace quorin {
namespace {

const Bytes kKey = [] {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 251);
  return key;
}();

TEST(PairingPayload, TextIsCompactJsonThatReadsBack) {
  const PairingPayload payload("Büro/東京 ✓", kKey);
  const std::string text = payload.encodedString();
  EXPECT_EQ(text, R"({"key":")" + base64::encode(kKey) + R"(","name":"Büro\/東京 ✓","v":1})");

  const std::string wrapped = base64::encode(bytesOf(text));
  for (const std::string& form : {text, " \n" + text + "\r\n\t", wrapped, "\n" + wrapped + " "}) {
    EXPECT_EQ(PairingPayload::decode(form), payload) << form;
  }
  PairingPayload other("n", Bytes{0, 1});
  other.v = 2;
  EXPECT_EQ(PairingPayload::decode(R"({"v":2,"name":"n","key":"AAE=","extra":1})"), other);
}

TEST(PairingPayload, RejectsIncompleteOrMalformedText) {
  const std::string noName = R"({"v":1,"key":"AAE="})";
  for (const std::string& text : {
           noName, base64::encode(bytesOf(noName)),
           std::string(R"({"v":1,"name":"n","key":"AAE"})"),     // unpadded key
           std::string(R"({"v":1.5,"name":"n","key":"AAE="})"),  // fractional version
           std::string(R"({"v":1,"name":"n","key":"AAE=")"),     // cut short
           base64::encode(bytesOf("{\"v\":1,\"name\":\"\xff\",\"key\":\"\"}")),  // not UTF-8
           std::string("   ")}) {
    EXPECT_FALSE(PairingPayload::decode(text)) << text;
  }
  EXPECT_EQ(PairingPayload("bad \xc3", kKey).encodedString(), "");
}

}  // namespace
}  // namespace quorin
