#include "video/video_encoder.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "fakes/log_capture.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace quorin {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A gradient with a bright square that moves with `step`, in BGRA.
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

BgraImage view(const std::vector<std::uint8_t>& bgra) { return {bgra.data(), kWidth, kHeight, kWidth * 4}; }

// Everything the callbacks delivered, in order: configurations and frames.
struct Event {
  std::optional<VideoConfig> config;
  VideoFrameHeader header;
  Bytes picture;
};

class Output {
 public:
  explicit Output(VideoEncoder& encoder) {
    encoder.onConfig = [this](const VideoConfig& config) { add({config, {}, {}}); };
    encoder.onFrame = [this](const VideoFrameHeader& header, ByteView picture) {
      add({std::nullopt, header, Bytes(picture.begin(), picture.end())});
    };
  }
  bool waitForFrames(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, 10s, [&] { return headers_.size() >= count; });
  }
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<VideoFrameHeader> headers() {
    std::lock_guard lock(mutex_);
    return headers_;
  }

 private:
  void add(Event event) {
    std::lock_guard lock(mutex_);
    if (!event.config) headers_.push_back(event.header);
    events_.push_back(std::move(event));
    arrived_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Event> events_;
  std::vector<VideoFrameHeader> headers_;
};

// Encodes one picture after another, each once the previous one came out, so none is skipped.
void encodeEach(VideoEncoder& encoder, Output& output, const std::vector<microseconds>& times) {
  for (std::size_t i = 0; i < times.size(); ++i) {
    const auto picture = movingPicture(int(i));
    encoder.encode(view(picture), times[i]);
    ASSERT_TRUE(output.waitForFrames(i + 1)) << "picture " << i;
  }
}

int nalType(ByteView unit) { return unit[0] & 0x1F; }

// The NAL units of a length-prefixed picture; nothing unless the 4-byte lengths cover it exactly.
std::optional<std::vector<ByteView>> splitLengthPrefixed(ByteView picture) {
  std::vector<ByteView> units;
  for (std::size_t at = 0; at < picture.size();) {
    if (picture.size() - at < 4) return std::nullopt;
    const std::size_t length = std::size_t(picture[at]) << 24 | picture[at + 1] << 16 | picture[at + 2] << 8 | picture[at + 3];
    at += 4;
    if (length == 0 || picture.size() - at < length) return std::nullopt;
    units.push_back(picture.subspan(at, length));
    at += length;
  }
  return units;
}

// libavcodec's H.264 decoder in strict mode, fed the way a client feeds its decoder.
class ClientDecoder {
 public:
  ClientDecoder() : context_(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264))) {
    context_->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
    avcodec_open2(context_.get(), context_->codec, nullptr);
  }
  // The luma of the decoded picture; nothing if decoding fails, the picture is held back or it
  // is a B-frame.
  std::optional<std::vector<std::uint8_t>> decode(const std::vector<Bytes>& parameterSets,
                                                  const std::vector<ByteView>& units) {
    Bytes annexB;
    const auto append = [&](ByteView unit) {
      annexB.insert(annexB.end(), {0, 0, 0, 1});
      annexB.insert(annexB.end(), unit.begin(), unit.end());
    };
    for (const Bytes& set : parameterSets) append(set);
    for (ByteView unit : units) append(unit);
    const std::size_t size = annexB.size();
    annexB.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->data = annexB.data();
    packet_->size = int(size);
    if (avcodec_send_packet(context_.get(), packet_.get()) < 0 ||
        avcodec_receive_frame(context_.get(), frame_.get()) < 0 || frame_->pict_type == AV_PICTURE_TYPE_B) {
      return std::nullopt;
    }
    std::vector<std::uint8_t> luma;
    for (int y = 0; y < frame_->height; ++y) {
      const std::uint8_t* row = frame_->data[0] + std::ptrdiff_t(y) * frame_->linesize[0];
      luma.insert(luma.end(), row, row + frame_->width);
    }
    return luma;
  }

 private:
  std::unique_ptr<AVCodecContext, decltype([](AVCodecContext* c) { avcodec_free_context(&c); })> context_;
  std::unique_ptr<AVFrame, decltype([](AVFrame* f) { av_frame_free(&f); })> frame_{av_frame_alloc()};
  std::unique_ptr<AVPacket, decltype([](AVPacket* p) { av_packet_free(&p); })> packet_{av_packet_alloc()};
};

// Reads the stream as a client does and checks the rules it relies on; keeps the lumas.
void expectDecodableStream(const std::vector<Event>& events,
                           std::vector<std::vector<std::uint8_t>>& decoded) {
  ClientDecoder decoder;
  std::vector<Bytes> pendingSets;
  bool afterConfig = false;
  int framesSinceKey = 0;
  std::uint64_t lastKeyPts = 0;
  EXPECT_TRUE(!events.empty() && events.front().config) << "a configuration comes first";
  for (const Event& event : events) {
    if (event.config) {
      const auto& sets = event.config->parameterSets;
      EXPECT_EQ(event.config->nalUnitHeaderLength, 4);
      ASSERT_EQ(sets.size(), 2u);
      EXPECT_EQ(nalType(sets[0]), 7);
      EXPECT_EQ(sets[0].at(1), 100) << "profile_idc: High";
      EXPECT_EQ(nalType(sets[1]), 8);
      pendingSets = sets;
      afterConfig = true;
      continue;
    }
    const VideoFrameHeader& header = event.header;
    EXPECT_EQ(header.isKeyframe, afterConfig) << "a configuration precedes exactly the key frames";
    afterConfig = false;
    const auto units = splitLengthPrefixed(event.picture);
    ASSERT_TRUE(units) << "lengths add up to the picture";
    bool idr = false;
    for (ByteView unit : *units) {
      EXPECT_TRUE(nalType(unit) != 7 && nalType(unit) != 8 && nalType(unit) != 9);
      idr = idr || nalType(unit) == 5;
    }
    EXPECT_EQ(idr, header.isKeyframe);
    if (header.isKeyframe) {
      framesSinceKey = 0;
      lastKeyPts = header.ptsMicros;
    } else {
      EXPECT_LT(++framesSinceKey, 120);
      EXPECT_LT(header.ptsMicros - lastKeyPts, 2'000'000u);
    }
    auto luma = decoder.decode(pendingSets, *units);
    pendingSets.clear();
    EXPECT_TRUE(luma) << "frame at " << header.ptsMicros << " decodes at once, not as a B-frame";
    if (luma) decoded.push_back(std::move(*luma));
  }
}

TEST(VideoEncoderTest, ProducesAHighProfileStreamWithKeyFramesByCountAndByTime) {
  VideoEncoder encoder(kWidth, kHeight);
  Output output(encoder);
  encoder.start(8'000'000, 60);
  // 130 pictures 10 ms apart (the first a little before zero), an idle screen until 3.5 s,
  // then one picture every 250 ms.
  std::vector<microseconds> times{-5ms};
  for (int i = 1; i < 130; ++i) times.push_back(i * 10ms);
  for (int i = 0; i < 12; ++i) times.push_back(3500ms + i * 250ms);
  encodeEach(encoder, output, times);
  encoder.stop();

  std::vector<std::vector<std::uint8_t>> decoded;
  expectDecodableStream(output.events(), decoded);
  ASSERT_EQ(decoded.size(), times.size());
  const auto headers = output.headers();
  EXPECT_EQ(headers[0].ptsMicros, 0u) << "negative times count as 0";
  EXPECT_EQ(headers[130].ptsMicros, 3'500'000u);
  EXPECT_TRUE(headers[120].isKeyframe) << "120 frames after the first, at 1.2 s";
  EXPECT_TRUE(headers[130].isKeyframe) << "the first picture after the idle gap";
  EXPECT_FALSE(headers[131].isKeyframe);
  EXPECT_TRUE(headers[138].isKeyframe) << "2 s after the previous key frame";

  // The last picture survives conversion and coding: compare luma with the source's.
  const auto source = movingPicture(int(times.size()) - 1);
  std::vector<std::uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
  libyuv::ARGBToI420(source.data(), kWidth * 4, y.data(), kWidth, u.data(), kWidth / 2, v.data(),
                     kWidth / 2, kWidth, kHeight);
  ASSERT_EQ(decoded.back().size(), y.size());
  double error = 0;
  for (std::size_t i = 0; i < y.size(); ++i) error += std::abs(int(y[i]) - int(decoded.back()[i]));
  EXPECT_LT(error / double(y.size()), 3.0);
}

TEST(VideoEncoderTest, MailboxKeepsTheNewestPictureAndStopDeliversPendingFrames) {
  VideoEncoder encoder(kWidth, kHeight);
  Output output(encoder);
  encoder.start(8'000'000, 60);
  const auto picture = movingPicture(0);

  encoder.setBackPressure(true);
  for (int ms = 1; ms <= 3; ++ms) encoder.encode(view(picture), microseconds(ms * 1000));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(output.headers().size(), 0u);
  EXPECT_EQ(encoder.skippedImages(), 2u);

  encoder.setBackPressure(false);
  ASSERT_TRUE(output.waitForFrames(1));
  EXPECT_EQ(output.headers().at(0).ptsMicros, 3000u);

  encoder.setBackPressure(true);
  encoder.encode(view(picture), 4ms);
  encoder.stop();
  ASSERT_EQ(output.headers().size(), 2u) << "stop encodes what was waiting and delivers it";
  EXPECT_EQ(output.headers().at(1).ptsMicros, 4000u);

  encoder.encode(view(picture), 5ms);
  encoder.stop();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(output.headers().size(), 2u);
}

TEST(VideoEncoderTest, AFailedStartIsLoggedOnceAndPicturesAreIgnored) {
  LogCapture log;
  VideoEncoder broken(0, 0);
  Output output(broken);
  broken.start(8'000'000, 60);
  broken.start(8'000'000, 60);
  const std::uint8_t pixel[4] = {};
  broken.encode({pixel, 0, 0, 0}, 0us);
  broken.stop();
  EXPECT_TRUE(output.events().empty());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"QuorinRemote: avcodec_open2 failed -22"});
}

}  // namespace
}  // namespace quorin
