#include "video/refinement_decision.h"

#include <algorithm>

namespace quorin {

void RefinementDecision::changed(std::int64_t changedPixels, std::int64_t allPixels) {
  debt_ += changedPixels;
  allPixels_ = std::max<std::int64_t>(allPixels, 1);
  refinements_ = 0;
  encodes_ = 0;
  bestQp_.reset();
  done_ = false;
}

void RefinementDecision::encoded(int qp, std::size_t bytes) {
  const bool settled = encodes_ > 0 && bestQp_ && qp <= *bestQp_ && bytes < kSettledBytes;
  done_ = (encodes_ > 0 && qp <= kSharpQp) || settled;
  bestQp_ = std::min(qp, bestQp_.value_or(qp));
  ++encodes_;
  if (done_) debt_ = 0;
}

RefinementDecision::Next RefinementDecision::next() const {
  if (encodes_ == 0 || done_) return Next::kDone;
  const bool small = double(debt_) <= kSmallShare * double(allPixels_);
  return refinements_ < (small ? kSmallRefinements : kMaxRefinements) ? Next::kRefine : Next::kDone;
}

}  // namespace quorin
