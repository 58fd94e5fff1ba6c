#include "client/stream_stats.h"

namespace quorin {

void VideoStats::countFrame(bool isKeyframe, std::uint64_t ptsMicros, std::size_t pictureBytes,
                            SteadyTime arrival) {
  if (frames == 0) {
    firstArrival_ = arrival;
  } else {
    bytesAfterFirst_ += pictureBytes;
  }
  lastArrival_ = arrival;
  ++frames;
  videoBytes += pictureBytes;
  if (!isKeyframe) return;
  if (keyFrames == 0) {
    firstKeyIndex_ = frames;
    firstKeyPts_ = ptsMicros;
  }
  lastKeyIndex_ = frames;
  lastKeyPts_ = ptsMicros;
  ++keyFrames;
}

std::optional<double> VideoStats::spanSeconds() const {
  const double span = std::chrono::duration<double>(lastArrival_ - firstArrival_).count();
  if (frames < 2 || span <= 0) return std::nullopt;
  return span;
}

std::optional<double> VideoStats::frameRate() const {
  if (auto span = spanSeconds()) return double(frames - 1) / *span;
  return std::nullopt;
}

std::optional<double> VideoStats::bitRate() const {
  if (auto span = spanSeconds()) return double(bytesAfterFirst_) * 8 / *span;
  return std::nullopt;
}

std::optional<double> VideoStats::keyFrameIntervalFrames() const {
  if (keyFrames < 2) return std::nullopt;
  return double(lastKeyIndex_ - firstKeyIndex_) / double(keyFrames - 1);
}

std::optional<double> VideoStats::keyFrameIntervalSeconds() const {
  if (keyFrames < 2) return std::nullopt;
  // Presentation times restart when the host starts a new encoder; a step back means nothing.
  if (lastKeyPts_ < firstKeyPts_) return std::nullopt;
  return double(lastKeyPts_ - firstKeyPts_) / 1e6 / double(keyFrames - 1);
}

namespace {

json::Json orNull(const std::optional<double>& value) {
  return value ? json::Json(*value) : json::Json(nullptr);
}

}  // namespace

json::Json StreamStats::toJson() const {
  return {
      {"hello", hello ? hello->toJson() : json::Json(nullptr)},
      {"seconds", seconds},
      {"bytes", bytes},
      {"configs", video.configs},
      {"frames", video.frames},
      {"keyFrames", video.keyFrames},
      {"decodedFrames", video.decodedFrames},
      {"decodeErrors", video.decodeErrors},
      {"skippedFrames", video.skippedFrames},
      {"videoBytes", video.videoBytes},
      {"frameRate", orNull(video.frameRate())},
      {"bitRate", orNull(video.bitRate())},
      {"keyFrameIntervalFrames", orNull(video.keyFrameIntervalFrames())},
      {"keyFrameIntervalSeconds", orNull(video.keyFrameIntervalSeconds())},
  };
}

}  // namespace quorin
