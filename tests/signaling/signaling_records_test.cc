#include "signaling/signaling_records.h"

#include <gtest/gtest.h>

#include "fakes/log_capture.h"
#include "signaling/firebase_signaling.h"

namespace quorin {
namespace {

TEST(SignalingRecords, IceCandidateMidIsOptionalAndIndexA32BitInteger) {
  const IceCandidateDTO noMid{"candidate:1", std::nullopt, 3};
  EXPECT_EQ(json::encodeJson(noMid), R"({"candidate":"candidate:1","sdpMLineIndex":3})");
  EXPECT_EQ(json::decodeJson<IceCandidateDTO>(*json::encodeJson(noMid)), noMid);
  EXPECT_EQ(json::decodeJson<IceCandidateDTO>(
                R"({"candidate":"candidate:1","sdpMid":null,"sdpMLineIndex":3,"extra":true})"),
            noMid);

  // The index is a signed 32-bit integer.
  const auto withIndex = [](const char* index) {
    return json::decodeJson<IceCandidateDTO>(std::string(R"({"candidate":"c","sdpMLineIndex":)") +
                                             index + "}");
  };
  EXPECT_EQ(withIndex("2147483647")->sdpMLineIndex, 2147483647);
  EXPECT_EQ(withIndex("-2147483648")->sdpMLineIndex, -2147483648);
  for (const char* bad : {"4294967296", "2147483648", "-2147483649", "0.5", "\"0\"", "null"}) {
    EXPECT_FALSE(withIndex(bad)) << bad;
  }
  EXPECT_FALSE(json::decodeJson<IceCandidateDTO>(R"({"candidate":"c"})"));
}

TEST(SignalingRecords, SessionDescriptionNeedsBothTextFields) {
  EXPECT_EQ(json::decodeJson<SessionDescriptionDTO>(R"({"type":"pranswer","sdp":"v=0"})"),
            (SessionDescriptionDTO{"v=0", "pranswer"}));
  EXPECT_FALSE(json::decodeJson<SessionDescriptionDTO>(R"({"sdp":"v=0"})"));
}

TEST(FirebaseSignaling, EveryConstructionReportsTheMissingStore) {
  LogCapture capture;
  FirebaseSignaling first("host", bytesOf("secret"));
  FirebaseSignaling second("", {});
  EXPECT_EQ(capture.count(
                "QuorinRemote: FirebaseFirestore not linked — add the SDK to enable internet mode."),
            2);
}

}  // namespace
}  // namespace quorin
