#pragma once
// Figures about one connection's stream, for the --stats summary and for tests. Plain values,
// filled by the thread that receives the stream.

#include <chrono>
#include <cstdint>
#include <optional>

#include "protocol/control_messages.h"
#include "protocol/json_codec.h"

namespace quorin {

using SteadyTime = std::chrono::steady_clock::time_point;

struct VideoStats {
  std::uint64_t configs = 0;        // videoConfig messages
  std::uint64_t frames = 0;         // videoFrame messages
  std::uint64_t keyFrames = 0;
  std::uint64_t decodedFrames = 0;  // pictures that came out of the decoder intact
  std::uint64_t decodeErrors = 0;   // unreadable configurations or frames, damaged pictures
  std::uint64_t skippedFrames = 0;  // frames that came while no key frame could start decoding
  std::uint64_t videoBytes = 0;     // picture bytes of every frame

  // Adds one frame's arrival to the rate and key-frame figures.
  void countFrame(bool isKeyframe, std::uint64_t ptsMicros, std::size_t pictureBytes,
                  SteadyTime arrival);

  // Over the span from the first frame's arrival to the last one's; nothing with fewer than
  // two frames.
  std::optional<double> frameRate() const;
  std::optional<double> bitRate() const;  // bits per second of picture bytes
  // Mean spacing of successive key frames, in frames and in presentation time; nothing with
  // fewer than two key frames.
  std::optional<double> keyFrameIntervalFrames() const;
  std::optional<double> keyFrameIntervalSeconds() const;

 private:
  std::optional<double> spanSeconds() const;

  SteadyTime firstArrival_{};
  SteadyTime lastArrival_{};
  std::uint64_t bytesAfterFirst_ = 0;
  std::uint64_t firstKeyIndex_ = 0;
  std::uint64_t lastKeyIndex_ = 0;
  std::uint64_t firstKeyPts_ = 0;
  std::uint64_t lastKeyPts_ = 0;
};

struct StreamStats {
  std::optional<HelloMessage> hello;
  std::uint64_t bytes = 0;  // every frame received, headers included
  double seconds = 0;       // from the handshake's end to the end of the connection or now
  VideoStats video;

  // One object: hello (or null), seconds, bytes and every video figure (null when unknown).
  json::Json toJson() const;
};

}  // namespace quorin
