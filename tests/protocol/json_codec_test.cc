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

  auto object = json::parseObject(
      R"({"i":5,"f":5.0,"frac":5.5,"neg":-1,"big":4294967296,"n":null,"s":"a\/b","l":["x"]})");
  ASSERT_TRUE(object);
  // The field as a T when it reads as one.
  const auto read = [&]<typename T>(const char* name, T value) {
    return json::readField(*object, name, value) ? std::optional<T>(value) : std::nullopt;
  };
  EXPECT_EQ(read("i", std::int32_t{}), 5);
  EXPECT_EQ(read("f", std::int32_t{}), 5) << "a whole float is an integer";
  EXPECT_FALSE(read("frac", std::int32_t{}) || read("big", std::int32_t{}) || read("neg", std::uint32_t{}));
  EXPECT_EQ(read("i", 0.0), 5.0) << "a float accepts an integer";
  EXPECT_FALSE(read("s", 0.0));
  EXPECT_EQ(read("s", std::string()), "a/b");
  EXPECT_FALSE(read("n", std::string()) || read("missing", std::string())) << "required null or missing";
  EXPECT_EQ(read("l", std::optional<std::vector<std::string>>()), std::vector<std::string>{"x"});

  // An optional field may be null or missing (and is then cleared), but not mistyped.
  std::optional<std::string> opt = "stale";
  EXPECT_TRUE(json::readField(*object, "n", opt) && !opt);
  opt = "stale";
  EXPECT_TRUE(json::readField(*object, "missing", opt) && !opt);
  EXPECT_FALSE(json::readField(*object, "i", opt));
}

}  // namespace
}  // namespace quorin
