#pragma once
// The client's side of the video messages: keeps the latest decoder configuration, turns each
// frame into an Annex B access unit (parameter sets in front of key frames), decodes it and
// counts what happened. Decoding starts at the first key frame that has a configuration, and
// starts again at the next key frame after any error, so a damaged or missing picture never
// spreads into the ones that refer to it.
//
// Thread: one thread feeds it and receives its callbacks (the client's io thread).

#include <chrono>
#include <functional>
#include <optional>

#include "base/bytes.h"
#include "client/h264_decoder.h"
#include "client/picture.h"
#include "client/stream_stats.h"
#include "protocol/video_messages.h"

namespace quorin {

struct DecodedFrame {
  Picture picture;
  VideoFrameHeader header;  // the host's key-frame flag and presentation time
  SteadyTime receivedAt;    // when the whole frame had arrived
  SteadyTime decodedAt;     // when the decoder finished it (steady_clock is CLOCK_MONOTONIC)
};

class VideoReceiver {
 public:
  // Each access unit handed to the decoder, in stream order; together they make an Annex B
  // stream that starts at a key frame (what --record writes).
  std::function<void(ByteView accessUnit)> onAccessUnit;
  // Each intact decoded picture.
  std::function<void(const DecodedFrame& frame)> onPicture;

  void handleConfig(ByteView payload);
  void handleFrame(ByteView payload, SteadyTime receivedAt);

  const VideoStats& stats() const { return stats_; }

 private:
  void fail();

  H264Decoder decoder_;
  std::optional<VideoConfig> config_;
  bool decoding_ = false;  // a key frame started the chain the next frame belongs to
  Bytes accessUnit_;
  VideoStats stats_;
};

}  // namespace quorin
