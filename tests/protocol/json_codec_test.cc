#include "protocol/json_codec.h"

#include <gtest/gtest.h>

#include "protocol/base64.h"

namespace quorin {
namespace {

TEST(Base64, RoundTripsEveryLengthAndIsStrict) {
  EXPECT_EQ(base64::encode(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(base64::encode(Bytes{0xFB, 0xFF}), "+/8=");
  Bytes data;
  for (int n = 0; n < 70; ++n) {
    EXPECT_EQ(base64::decode(base64::encode(data)), data);
    data.push_back(static_cast<std::uint8_t>(n * 37));
  }
  for (const char* bad : {"Zg", "Zg=", "Z===", "Zm9v YmFy", "Zm9v\nYmFy", "Zm9-", "Zm_v",
                          "=Zg=", "Zg==Zg==", "Zh==", "Zm9=", " Zg=="}) {
    EXPECT_FALSE(base64::decode(bad)) << bad;
  }
}

TEST(Json, WritesCompactlyWithEscapedSlashesAndReadsOnlyWellTypedFields) {
  EXPECT_EQ(json::write({{"url", "a/b"}, {"t", "é\"\\\n"}}), R"({"t":"é\"\\\n","url":"a\/b"})");
  EXPECT_FALSE(json::write(json::Json{{"bad", std::string("\xff\xfe")}})) << "no failure reported as success";
  for (const char* notAnObject : {"[1]", "{\"a\":", "", "{\"a\":\"\xff\"}"}) {
    EXPECT_FALSE(json::parseObject(notAnObject)) << notAnObject;
  }

  // Integers: a whole float is one, a fraction or a value out of range is not.
  const auto object = json::parseObject(R"({"f":5.0,"frac":5.5,"neg":-1,"big":4294967296,"n":null})");
  ASSERT_TRUE(object);
  std::int32_t i = 0;
  std::uint32_t u = 0;
  EXPECT_TRUE(json::readField(*object, "f", i) && i == 5);
  EXPECT_FALSE(json::readField(*object, "frac", i) || json::readField(*object, "big", i) ||
               json::readField(*object, "neg", u));
  // An optional field may be null or missing (and is then cleared), but not mistyped.
  std::optional<std::string> opt = "stale";
  EXPECT_TRUE(json::readField(*object, "n", opt) && !opt);
  opt = "stale";
  EXPECT_TRUE(json::readField(*object, "missing", opt) && !opt);
  EXPECT_FALSE(json::readField(*object, "f", opt));
}

}  // namespace
}  // namespace quorin
