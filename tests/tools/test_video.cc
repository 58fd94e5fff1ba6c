#include "tools/test_video.h"

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>

#include "protocol/video_messages.h"
#include "video/video_encoder.h"

namespace quorin {
namespace {

constexpr int kWidth = kTestVideoWidth;
constexpr int kHeight = kTestVideoHeight;

std::vector<std::uint8_t> testPicture(int index) {
  std::vector<std::uint8_t> bgra(std::size_t(kWidth) * kHeight * 4);
  std::uint32_t noise = 2654435761u * std::uint32_t(index + 1);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* pixel = &bgra[(std::size_t(y) * kWidth + x) * 4];
      if (y < kHeight / 4) {
        noise = noise * 1664525u + 1013904223u;
        pixel[0] = pixel[1] = pixel[2] = std::uint8_t(noise >> 24);
      } else {
        const bool left = x < kWidth / 2;
        pixel[0] = left ? 0 : 255;  // blue
        pixel[2] = left ? 255 : 0;  // red
      }
      pixel[3] = 255;
    }
  }
  return bgra;
}

// Encodes each picture after the previous one came out, so the stream order is fixed.
std::vector<WireMessage> encode() {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<WireMessage> messages;
  std::size_t frames = 0;
  const auto keep = [&](MessageType type, Bytes payload) {
    std::lock_guard lock(mutex);
    frames += type == MessageType::videoFrame;
    messages.push_back({type, std::move(payload)});
    arrived.notify_all();
  };
  VideoEncoder encoder(kWidth, kHeight);
  encoder.onConfig = [&](const VideoConfig& config) {
    keep(MessageType::videoConfig, bytesOf(*json::encodeJson(config)));
  };
  encoder.onFrame = [&](const VideoFrameHeader& header, ByteView picture) {
    keep(MessageType::videoFrame, videoFramePayload(header, picture));
  };
  encoder.start(8'000'000, 60);
  const int ptsMillis[] = {0, 16, 33, 50, 66, 2100, 2116, 2133, 2150, 2166};
  for (std::size_t i = 0; i < std::size(ptsMillis); ++i) {
    const auto picture = testPicture(int(i));
    encoder.encode({picture.data(), kWidth, kHeight, kWidth * 4}, std::chrono::milliseconds(ptsMillis[i]));
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return frames > i; });
  }
  encoder.stop();
  return messages;
}

}  // namespace

const std::vector<WireMessage>& testVideo() {
  static const std::vector<WireMessage> messages = encode();
  return messages;
}

}  // namespace quorin
