#include "tools/test_video.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "protocol/video_messages.h"

namespace quorin {

std::vector<std::uint8_t> testPicture(int width, int height, int index) {
  std::vector<std::uint8_t> bgra(std::size_t(width) * height * 4);
  std::uint32_t noise = 2654435761u * std::uint32_t(index + 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = &bgra[(std::size_t(y) * width + x) * 4];
      if (y < height / 4) {
        noise = noise * 1664525u + 1013904223u;
        pixel[0] = pixel[1] = pixel[2] = std::uint8_t(noise >> 24);
      } else {
        const bool left = x < width / 2;
        pixel[0] = left ? 0 : 255;  // blue
        pixel[2] = left ? 255 : 0;  // red
      }
      pixel[3] = 255;
    }
  }
  return bgra;
}

void forwardAsMessages(VideoEncoder& encoder, std::function<void(WireMessage)> send) {
  encoder.onConfig = [send](const VideoConfig& config) {
    send({MessageType::videoConfig, bytesOf(*json::encodeJson(config))});
  };
  encoder.onFrame = [send](const VideoFrameHeader& header, ByteView picture) {
    send({MessageType::videoFrame, videoFramePayload(header, picture)});
  };
}

std::vector<WireMessage> encodeMessages(int width, int height, const std::vector<int>& ptsMillis) {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<WireMessage> messages;
  std::size_t frames = 0;
  VideoEncoder encoder(width, height);
  forwardAsMessages(encoder, [&](WireMessage message) {
    std::lock_guard lock(mutex);
    if (message.type == MessageType::videoFrame) ++frames;
    messages.push_back(std::move(message));
    arrived.notify_all();
  });
  encoder.start(8'000'000, 60);
  for (std::size_t i = 0; i < ptsMillis.size(); ++i) {
    const auto picture = testPicture(width, height, int(i));
    encoder.encode({picture.data(), width, height, width * 4}, std::chrono::milliseconds(ptsMillis[i]));
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return frames > i; });
  }
  encoder.stop();
  return messages;
}

}  // namespace quorin
