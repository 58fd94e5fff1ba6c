#include "client/video_receiver.h"

#include "client/annex_b.h"

namespace quorin {

void VideoReceiver::handleConfig(ByteView payload) {
  ++stats_.configs;
  auto config = json::decodeJson<VideoConfig>(payload);
  if (!config || config->parameterSets.empty() || config->nalUnitHeaderLength < 1 ||
      config->nalUnitHeaderLength > 4) {
    config_.reset();
    fail();
    return;
  }
  config_ = std::move(config);
}

void VideoReceiver::handleFrame(ByteView payload, SteadyTime receivedAt) {
  auto frame = VideoFrameHeader::decode(payload);
  if (!frame) {
    ++stats_.frames;
    fail();
    return;
  }
  const VideoFrameHeader header = frame->header;
  stats_.countFrame(header.isKeyframe, header.ptsMicros, frame->picture.size(), receivedAt);
  if (header.isKeyframe && config_) decoding_ = true;
  if (!decoding_) {
    ++stats_.skippedFrames;
    return;
  }

  accessUnit_.clear();
  if (header.isKeyframe) {
    for (const auto& parameterSet : config_->parameterSets) {
      annexb::appendNalUnit(accessUnit_, parameterSet);
    }
  }
  if (!annexb::appendPicture(accessUnit_, frame->picture, config_->nalUnitHeaderLength)) {
    fail();
    return;
  }
  if (onAccessUnit) onAccessUnit(accessUnit_);
  const bool intact = decoder_.decode(accessUnit_, [&](Picture picture) {
    ++stats_.decodedFrames;
    if (onPicture) {
      onPicture({std::move(picture), header, receivedAt, std::chrono::steady_clock::now()});
    }
  });
  if (!intact) fail();
}

void VideoReceiver::fail() {
  ++stats_.decodeErrors;
  decoding_ = false;
}

}  // namespace quorin
