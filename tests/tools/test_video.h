#pragma once
// Pictures and H.264 streams for the client's tests, made with the host's own encoder and
// framed as the host frames them.

#include <cstdint>
#include <functional>
#include <vector>

#include "base/bytes.h"
#include "protocol/message_type.h"
#include "video/video_encoder.h"

namespace quorin {

struct WireMessage {
  MessageType type;
  Bytes payload;
};

// BGRA: a band of noise over the top quarter (new at every index, so the stream has some
// weight), the rest red on the left half and blue on the right.
std::vector<std::uint8_t> testPicture(int width, int height, int index);

// Sends the encoder's configurations and frames as videoConfig and videoFrame payloads.
void forwardAsMessages(VideoEncoder& encoder, std::function<void(WireMessage)> send);

// Encodes one test picture per presentation time (milliseconds), each after the previous
// one came out, and returns the messages in stream order. The encoder makes a key frame at
// the first picture and again 2 s of presentation time later.
std::vector<WireMessage> encodeMessages(int width, int height, const std::vector<int>& ptsMillis);

}  // namespace quorin
