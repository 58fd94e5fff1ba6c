#pragma once
// Whether the newest picture is worth encoding again. A picture is done once a refinement of
// it came out at a fine quantiser, or at a quantiser no coarser than any before found next to
// nothing left to code: encoding it again would change nothing. A first encode at a fine
// quantiser is not enough: the frame's quantiser is one figure for the whole frame, and under
// the rate cap x264 codes rows coarser than it when the frame runs over its budget (a word
// typed into a page came out at 42 dB in a frame at QP 12, at 48 dB after one refinement). Until then a
// coarse picture is refined, but the changes it carries bound the effort: a caret, a clock or
// the pointer gets one refinement, a new page up to kMaxRefinements. A key frame codes the
// whole picture afresh, as coarse as the rate cap makes it: after one, the whole picture is
// owed, whatever changed (a word typed two seconds after the last key frame must not leave
// the page around it blurred).
// Why not the quantiser alone: a refinement is a P-frame, and x264 skips or decimates blocks
// whose residual is small, so a P-frame at QP 19 left a page of text at 40 dB that a key frame
// at that QP would have made sharp (bench/video/run_text_quality_bench.sh).
// Plain data: the encoder keeps one under its mailbox lock.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorin {

class RefinementDecision {
 public:
  // The frame quantiser at or below which a picture is sharp at once.
  static constexpr int kSharpQp = 12;
  // A refinement of fewer bytes than this found nothing worth coding.
  static constexpr std::size_t kSettledBytes = 512;
  // Changes of no more than this share of the picture, taken together since it was last
  // done, are small: a caret, a spinner, a typed word, the pointer.
  static constexpr double kSmallShare = 0.01;
  static constexpr int kSmallRefinements = 1;
  // Whatever the encodes say: a picture that never settles (a congested link, full-screen
  // noise) stops costing encodes. Under the 8 Mbit/s cap a refinement gets about 17 KB once
  // the page's first frame has drained the rate buffer, and a dense page of small text needs
  // about 650 KB to reach 50 dB (x264 ultrafast, as one key frame at QP 18 or as refinements
  // alike; veryslow still needs 550 KB: bench/video/run_refinement_bench.sh): about 40
  // refinements, done well within the capture's second of refinement slots.
  static constexpr int kMaxRefinements = 45;

  enum class Next { kRefine, kDone };

  // A new picture went to the encoder: `changedPixels` of its `allPixels` differ.
  void changed(std::int64_t changedPixels, std::int64_t allPixels);
  // An encode of the newest picture (its first or a refinement) used quantiser `qp` for a
  // frame of `bytes`.
  void encoded(int qp, std::size_t bytes);
  // A key frame went out, of the newest picture or of one it replaced: every pixel is owed
  // until a picture is done again. Call before encoded() for the same encode.
  void keyFrame() { debt_ = allPixels_; }
  // A refinement of the newest picture was queued.
  void refining() { ++refinements_; }
  // What to do now that no encode of the newest picture is pending.
  Next next() const;

 private:
  std::int64_t debt_ = 0;  // changed pixels since a picture was last done
  std::int64_t allPixels_ = 1;
  int refinements_ = 0;
  int encodes_ = 0;  // of the newest picture, finished
  std::optional<int> bestQp_;
  bool done_ = false;
};

}  // namespace quorin
