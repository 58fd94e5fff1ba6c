#include "video/video_encoder.h"

#include <gtest/gtest.h>
#include <libyuv/compare.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <regex>
#include <thread>
#include <utility>

#include "client/annex_b.h"
#include "client/h264_decoder.h"
#include "fakes/log_capture.h"
#include "video/recording_sink.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;

// Odd both ways: the last column and row are left out of the stream.
constexpr int kWidth = 321;
constexpr int kHeight = 241;

// A BGRA gradient with a bright square that moves with `step`.
std::vector<std::uint8_t> movingPicture(int step) {
  std::vector<std::uint8_t> bgra(std::size_t(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = &bgra[(std::size_t(y) * kWidth + x) * 4];
      const bool square = (x - step * 5 % kWidth + kWidth) % kWidth < 40 && y >= 100 && y < 140;
      p[0] = square ? 250 : std::uint8_t(x * 255 / kWidth);
      p[1] = square ? 250 : std::uint8_t(y * 255 / kHeight);
      p[2] = square ? 250 : std::uint8_t((x + y + step) % 256);
    }
  }
  return bgra;
}

// Luma PSNR of a decoded picture against the top left of a BGRA source.
double lumaPsnr(const std::vector<std::uint8_t>& bgra, const Picture& decoded) {
  const int w = decoded.width();
  std::vector<std::uint8_t> y(std::size_t(w) * decoded.height());
  libyuv::ARGBToI400(bgra.data(), kWidth * 4, y.data(), w, w, decoded.height());
  return libyuv::CalcFramePsnr(y.data(), w, decoded.plane(0), decoded.stride(0), w, decoded.height());
}

// One delivered frame, with the configuration delivered just before it, if any.
struct Frame {
  std::optional<VideoConfig> config;
  VideoFrameHeader header;
  Bytes picture;
};

struct Output : Recorder<Frame> {
  explicit Output(VideoEncoder& encoder) {
    encoder.onConfig = [this](const VideoConfig& config) { config_ = config; };
    encoder.onFrame = [this](const VideoFrameHeader& header, ByteView picture) {
      add({std::exchange(config_, std::nullopt), header, Bytes(picture.begin(), picture.end())});
    };
  }
  std::optional<VideoConfig> config_;  // the "encode" thread's
};

// Reads the stream as a client does, checks the rules it relies on and returns the pictures.
std::vector<Picture> expectDecodableStream(Recorder<Frame>& frames) {
  H264Decoder decoder;
  std::vector<Picture> decoded;
  for (std::size_t i = 0; i < frames.count(); ++i) {
    const Frame frame = frames.at(i);
    const VideoFrameHeader& header = frame.header;
    Bytes annexB;
    if (frame.config) {
      EXPECT_EQ(frame.config->nalUnitHeaderLength, 4);
      for (const Bytes& set : frame.config->parameterSets) annexb::appendNalUnit(annexB, set);
    }
    // Length-prefixed NAL units that cover the picture exactly.
    EXPECT_TRUE(annexb::appendPicture(annexB, frame.picture, 4)) << "lengths do not add up";
    // The unit types, SEI left out: SPS and PPS come only in the configuration, which precedes
    // exactly the key frames, and those are IDR pictures; no access unit delimiters.
    std::string types;
    for (std::size_t at = 4; at < annexB.size(); ++at) {
      if (annexB[at - 4] == 0 && annexB[at - 3] == 0 && annexB[at - 2] == 0 && annexB[at - 1] == 1) {
        if ((annexB[at] & 0x1F) != 6) types += std::to_string(annexB[at] & 0x1F) + " ";
      }
    }
    EXPECT_TRUE(std::regex_match(types, std::regex(header.isKeyframe ? "7 8 (5 )+" : "(1 )+")))
        << types << "at " << header.ptsMicros;
    EXPECT_EQ(bool(frame.config), header.isKeyframe);
    const std::size_t before = decoded.size();
    decoder.decode(annexB, [&](Picture picture) { decoded.push_back(std::move(picture)); });
    EXPECT_EQ(decoded.size(), before + 1) << "frame at " << header.ptsMicros << " decodes at once";
  }
  return decoded;
}

TEST(VideoEncoderTest, ProducesADecodableStreamWithKeyFramesByCountAndByTime) {
  VideoEncoder encoder(kWidth, kHeight);
  Output output(encoder);
  encoder.start(8'000'000, 60);
  // 130 pictures 10 ms apart (the first a little before zero), an idle screen until 3.5 s,
  // then one picture every 250 ms; each once the previous came out, so none is skipped.
  std::vector<microseconds> times{-5ms};
  for (int i = 1; i < 130; ++i) times.push_back(i * 10ms);
  for (int i = 0; i < 12; ++i) times.push_back(3500ms + i * 250ms);
  for (std::size_t i = 0; i < times.size(); ++i) {
    const auto picture = movingPicture(int(i));
    encoder.encode({picture.data(), kWidth, kHeight, kWidth * 4}, times[i], {});
    ASSERT_TRUE(output.waitFor(i + 1)) << "picture " << i;
  }
  encoder.stop();

  const auto decoded = expectDecodableStream(output);
  ASSERT_EQ(decoded.size(), times.size());
  EXPECT_EQ(output.at(0).header.ptsMicros, 0u) << "negative times count as 0";
  // The first, 120 frames after it (1.2 s), the first after the idle gap, and 2 s after that.
  std::vector<std::size_t> keys;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (output.at(i).header.isKeyframe) keys.push_back(i);
  }
  EXPECT_EQ(keys, (std::vector<std::size_t>{0, 120, 130, 138}));
  EXPECT_EQ(std::pair(decoded.back().width(), decoded.back().height()), std::pair(kWidth - 1, kHeight - 1));
  EXPECT_GT(lumaPsnr(movingPicture(int(times.size()) - 1), decoded.back()), 40.0) << "dB";
}

// Asks for a refinement as the capture manager does, slot after slot while the encode under
// way has no verdict yet; true when one was queued.
bool refineOnce(VideoEncoder& encoder, microseconds pts) {
  for (;;) {
    const ImageSink::Refinement answer = encoder.refine(pts);
    if (answer != ImageSink::Refinement::kPending) return answer == ImageSink::Refinement::kQueued;
    std::this_thread::sleep_for(1ms);
  }
}

// Lines of dark specks on white, as fine as small text.
std::vector<std::uint8_t> textPage(int width, int height) {
  std::vector<std::uint8_t> bgra(std::size_t(width) * height * 4, 255);
  std::uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245 + 12345;
      if (y % 16 < 11 && (seed >> 16) % 3 == 0) std::fill_n(&bgra[(std::size_t(y) * width + x) * 4], 3, 0);
    }
  }
  return bgra;
}

// The real encoder's own verdict: a page of fine detail first goes out coarse and is refined
// until it is sharp, then no more; a caret drawn into it costs a refinement or two at most,
// unless it comes in the periodic key frame, which codes the whole page afresh.
TEST(VideoEncoderTest, RefinesACoarsePageUntilSharpThenStopsAndACaretBarelyUnlessInAKeyFrame) {
  constexpr int kPageWidth = 640;
  constexpr int kPageHeight = 360;
  VideoEncoder encoder(kPageWidth, kPageHeight);
  Output output(encoder);
  encoder.start(8'000'000, 60);
  auto page = textPage(kPageWidth, kPageHeight);
  const BgraImage picture{page.data(), kPageWidth, kPageHeight, kPageWidth * 4};
  microseconds pts{0};
  const auto refinementsAfter = [&](const ChangedArea& changed) {
    encoder.encode(picture, pts, changed);
    std::size_t refinements = 0;
    while (refineOnce(encoder, pts += 16ms)) ++refinements;
    EXPECT_EQ(encoder.refine(pts += 16ms), ImageSink::Refinement::kDone) << "done stays done";
    return refinements;
  };

  const std::size_t forPage = refinementsAfter({});
  EXPECT_GT(forPage, 0u) << "the page's first encode is coarse";
  EXPECT_LT(forPage, std::size_t(RefinementDecision::kMaxRefinements)) << "it got sharp before the bound";
  ASSERT_TRUE(output.waitFor(1 + forPage));
  const std::vector<Picture> decoded = expectDecodableStream(output);
  std::vector<std::uint8_t> luma(std::size_t(kPageWidth) * kPageHeight);
  libyuv::ARGBToI400(page.data(), kPageWidth * 4, luma.data(), kPageWidth, kPageWidth, kPageHeight);
  const auto psnr = [&](const Picture& p) {
    return libyuv::CalcFramePsnr(luma.data(), kPageWidth, p.plane(0), p.stride(0), kPageWidth, kPageHeight);
  };
  EXPECT_GT(psnr(decoded.back()), psnr(decoded.front()) + 20) << "dB";
  // Rate control that paid the first frame's bits back made the refinements after it coarser:
  // 9 dB in three of them here, against 18 dB.
  ASSERT_GT(decoded.size(), 3u);
  EXPECT_GT(psnr(decoded[3]), psnr(decoded[0]) + 15) << "dB in three refinements";

  for (int y = 100; y < 120; ++y) std::fill_n(&page[(std::size_t(y) * kPageWidth + 300) * 4], 10 * 4, 0);
  ChangedArea caret = ChangedArea::none();
  caret.add({300, 100, 10, 20}, {kPageWidth, kPageHeight});
  EXPECT_LE(refinementsAfter(caret), std::size_t(RefinementDecision::kSmallRefinements));

  const std::size_t beforeBlink = output.count();
  for (int y = 100; y < 120; ++y) std::fill_n(&page[(std::size_t(y) * kPageWidth + 300) * 4], 10 * 4, 255);
  libyuv::ARGBToI400(page.data(), kPageWidth * 4, luma.data(), kPageWidth, kPageWidth, kPageHeight);
  pts += 2s;
  const std::size_t afterKey = refinementsAfter(caret);
  ASSERT_TRUE(output.waitFor(beforeBlink + 1 + afterKey));
  ASSERT_TRUE(output.at(beforeBlink).header.isKeyframe);
  const std::vector<Picture> blinked = expectDecodableStream(output);
  EXPECT_LT(psnr(blinked[beforeBlink]), psnr(decoded.back())) << "the key frame is coarser";
  EXPECT_GT(afterKey, std::size_t(RefinementDecision::kSmallRefinements));
  EXPECT_GT(psnr(blinked.back()), psnr(decoded.back()) - 1) << "the page is as sharp again";
}

TEST(VideoEncoderTest, MailboxKeepsTheNewestPictureRefinesItStopDeliversPendingFramesAndAFailedStartIsLoggedOnce) {
  using enum ImageSink::Refinement;
  VideoEncoder encoder(kWidth, kHeight);
  Output output(encoder);
  encoder.start(50'000, 60);  // starved: every picture comes out coarse and wants refining
  const auto bgra = movingPicture(0);
  const BgraImage picture{bgra.data(), kWidth, kHeight, kWidth * 4};

  EXPECT_EQ(encoder.refine(0us), kDone) << "no picture yet";
  encoder.setBackPressure(true);
  for (int ms = 1; ms <= 3; ++ms) encoder.encode(picture, microseconds(ms * 1000), {});
  EXPECT_EQ(encoder.refine(4ms), kPending) << "a waiting picture is newer than any refinement";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(output.count(), 0u);
  EXPECT_EQ(encoder.skippedImages(), 2u);

  encoder.setBackPressure(false);
  ASSERT_TRUE(output.waitFor(1));
  EXPECT_EQ(output.at(0).header.ptsMicros, 3000u);

  // A picture of another size starts with a key frame; encoding it again needs none.
  encoder.encode({bgra.data(), kWidth - 40, kHeight, kWidth * 4}, 5ms, {});
  ASSERT_TRUE(output.waitFor(2));
  ASSERT_TRUE(refineOnce(encoder, 6ms));
  ASSERT_TRUE(output.waitFor(3));
  EXPECT_TRUE(output.at(1).header.isKeyframe);
  EXPECT_EQ(output.at(2).header.ptsMicros, 6000u);
  EXPECT_FALSE(output.at(2).header.isKeyframe);
  EXPECT_EQ(expectDecodableStream(output).size(), 3u);

  // The picture that changed size is replaced before it is encoded: the one that replaced
  // it starts with the key frame instead.
  encoder.setBackPressure(true);
  encoder.encode(picture, 7ms, {});
  encoder.encode(picture, 8ms, {});
  encoder.setBackPressure(false);
  ASSERT_TRUE(output.waitFor(4));
  EXPECT_EQ(output.at(3).header.ptsMicros, 8000u);
  EXPECT_TRUE(output.at(3).header.isKeyframe);

  encoder.setBackPressure(true);
  encoder.encode(picture, 9ms, {});
  encoder.stop();
  ASSERT_EQ(output.count(), 5u) << "stop encodes what was waiting and delivers it";
  EXPECT_EQ(output.at(4).header.ptsMicros, 9000u);

  encoder.encode(picture, 10ms, {});
  EXPECT_EQ(encoder.refine(11ms), kDone);
  encoder.stop();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(output.count(), 5u);

  // A start that fails is logged once, and pictures are ignored.
  LogCapture log;
  VideoEncoder broken(0, 0);
  Output nothing(broken);
  broken.start(8'000'000, 60);
  broken.start(8'000'000, 60);
  const std::uint8_t pixel[4] = {};
  broken.encode({pixel, 0, 0, 0}, 0us, {});
  broken.stop();
  EXPECT_EQ(nothing.count(), 0u);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"QuorinRemote: avcodec_open2 failed -22"});
}

}  // namespace
}  // namespace quorin
