#pragma once
// The host's own encoder's stream of test pictures, framed as the host frames it, for the
// client's tests.

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <vector>

#include "base/bytes.h"
#include "protocol/message_type.h"
#include "protocol/video_messages.h"
#include "video/video_encoder.h"

namespace quorin {

struct WireMessage {
  MessageType type;
  Bytes payload;
};

constexpr int kTestVideoWidth = 320;
constexpr int kTestVideoHeight = 240;

// BGRA: a band of noise over the top quarter (new at every index, so the stream has some
// weight), the rest red on the left half and blue on the right.
inline std::vector<std::uint8_t> testPicture(int index) {
  constexpr std::size_t kWidth = kTestVideoWidth, kHeight = kTestVideoHeight;
  std::vector<std::uint8_t> bgra(kWidth * kHeight * 4, 255);
  std::uint32_t noise = 2654435761u * std::uint32_t(index + 1);
  for (std::size_t at = 0; at < bgra.size(); at += 4) {
    const bool left = at / 4 % kWidth < kWidth / 2;
    if (at / 4 / kWidth < kHeight / 4) {
      noise = noise * 1664525u + 1013904223u;
      bgra[at] = bgra[at + 1] = bgra[at + 2] = std::uint8_t(noise >> 24);
    } else {
      bgra[at] = left ? 0 : 255;
      bgra[at + 1] = 0;
      bgra[at + 2] = left ? 255 : 0;
    }
  }
  return bgra;
}

// Two groups of five frames, each opened by a configuration and a key frame:
// [config, key, p, p, p, p, config, key, p, p, p, p]; the second key frame (the encoder's
// next after 2 s) has its presentation time at 2.1 s. Each picture is encoded after the
// previous one came out, so the order is fixed.
inline const std::vector<WireMessage>& testVideo() {
  static const std::vector<WireMessage> stream = [] {
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
    VideoEncoder encoder(kTestVideoWidth, kTestVideoHeight);
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
      encoder.encode({picture.data(), kTestVideoWidth, kTestVideoHeight, kTestVideoWidth * 4},
                     std::chrono::milliseconds(ptsMillis[i]), ChangedArea{});
      std::unique_lock lock(mutex);
      arrived.wait_for(lock, std::chrono::seconds(10), [&] { return frames > i; });
    }
    encoder.stop();
    return messages;
  }();
  return stream;
}

}  // namespace quorin
