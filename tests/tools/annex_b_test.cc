#include "client/annex_b.h"

#include <gtest/gtest.h>

namespace quorin {
namespace {

TEST(AnnexB, EveryUnitGetsAStartCodeWhateverTheLengthSize) {
  Bytes out = {9};  // appending keeps what was there
  ASSERT_TRUE(annexb::appendPicture(out, Bytes{0, 0, 0, 2, 0x65, 0xAA, 0, 0, 0, 1, 0x41}, 4));
  EXPECT_EQ(out, (Bytes{9, 0, 0, 0, 1, 0x65, 0xAA, 0, 0, 0, 1, 0x41}));
  out.clear();
  ASSERT_TRUE(annexb::appendPicture(out, Bytes{1, 0x06, 2, 0x65, 0x01}, 1));
  EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x06, 0, 0, 0, 1, 0x65, 0x01}));
}

TEST(AnnexB, APictureThatIsOutOfStepIsRejectedWhole) {
  const std::vector<std::pair<const char*, Bytes>> broken = {
      {"length past the end", {0, 0, 0, 1, 0x65, 0, 0, 0, 9, 0x41}},
      {"cut inside a length", {0, 0, 0, 1, 0x65, 0, 0}},
      {"empty unit", {0, 0, 0, 1, 0x65, 0, 0, 0, 0}},
      {"empty picture", {}},
  };
  for (const auto& [why, picture] : broken) {
    Bytes out = {7, 7};
    EXPECT_FALSE(annexb::appendPicture(out, picture, 4)) << why;
    EXPECT_EQ(out, (Bytes{7, 7})) << why << ": nothing of it is kept";
  }
  Bytes out;
  EXPECT_FALSE(annexb::appendPicture(out, Bytes{1, 0x65}, 0));
  EXPECT_FALSE(annexb::appendPicture(out, Bytes{0, 0, 0, 0, 1, 0x65}, 5));
}

}  // namespace
}  // namespace quorin
