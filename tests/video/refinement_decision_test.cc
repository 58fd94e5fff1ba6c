#include "video/refinement_decision.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace quorin {
namespace {

using Next = RefinementDecision::Next;
constexpr std::int64_t kScreen = 1920 * 1080;
constexpr int kSharp = RefinementDecision::kSharpQp;
constexpr std::size_t kBig = 20'000;                                   // bytes of a frame with work in it
constexpr std::size_t kEmpty = RefinementDecision::kSettledBytes - 1;  // and of one without

// Refinements the decision asks for after a change of `changed` pixels whose encodes come out
// as `encodes` ({qp, bytes}: the first encode's, then each refinement's; the last repeats).
int refinementsFor(std::int64_t changed, const std::vector<std::pair<int, std::size_t>>& encodes,
                   RefinementDecision decision = {}) {
  decision.changed(changed, kScreen);
  for (std::size_t i = 0;; ++i) {
    const auto [qp, bytes] = encodes[std::min(i, encodes.size() - 1)];
    decision.encoded(qp, bytes);
    if (decision.next() == Next::kDone) return int(i);
    decision.refining();
  }
}

TEST(RefinementDecisionTest, RefinesUntilFineOrSettledAndSmallChangesOnce) {
  const int kMax = RefinementDecision::kMaxRefinements;
  struct Case {
    const char* what;
    std::int64_t changed;
    std::vector<std::pair<int, std::size_t>> encodes;
    int refinements;
  };
  const Case cases[] = {
      {"a caret encoded fine", 10 * 20, {{kSharp, 60}}, 1},
      {"a caret encoded coarse", 10 * 20, {{30, 60}, {28, 600}}, RefinementDecision::kSmallRefinements},
      {"a page encoded fine at once, which one refinement confirms", kScreen, {{kSharp, kBig}}, 1},
      {"a page refined to a fine quantiser", kScreen, {{30, kBig}, {24, kBig}, {18, kBig}, {kSharp, kBig}}, 3},
      {"a page settled above it", kScreen, {{30, kBig}, {24, kBig}, {20, kBig}, {20, kEmpty}}, 3},
      // Average rate control paying back a large first frame: coarser, empty refinements are
      // no sign of a settled page.
      {"a page whose refinements came out coarser", kScreen, {{36, kBig}, {44, kEmpty}, {40, kEmpty}, {30, kEmpty}}, 3},
      {"a page that never settles", kScreen, {{30, kBig}}, kMax},
      {"a paragraph, just above small", kScreen / 100 + 1, {{30, kBig}}, kMax},
  };
  for (const Case& c : cases) EXPECT_EQ(refinementsFor(c.changed, c.encodes), c.refinements) << c.what;
}

// Typing: every keystroke is a small change, but what was typed coarse adds up until a
// picture is done again.
TEST(RefinementDecisionTest, CoarseSmallChangesAddUpUntilAPictureIsDone) {
  RefinementDecision typing;
  constexpr std::int64_t kKey = 8 * 15;
  const std::int64_t keys = std::int64_t(RefinementDecision::kSmallShare * kScreen) / kKey + 1;
  for (std::int64_t i = 0; i < keys; ++i) {
    typing.changed(kKey, kScreen);
    typing.encoded(30, 300);
  }
  EXPECT_EQ(refinementsFor(kKey, {{30, 300}, {26, 900}}, typing), RefinementDecision::kMaxRefinements)
      << "the coarse keystrokes together are no small change";

  RefinementDecision settled = typing;
  settled.changed(kKey, kScreen);
  settled.encoded(kSharp, 300);
  settled.refining();
  settled.encoded(kSharp, 80);
  EXPECT_EQ(refinementsFor(kKey, {{30, 300}, {26, 900}}, settled), RefinementDecision::kSmallRefinements)
      << "a picture that is done pays the debt";
}

}  // namespace
}  // namespace quorin
