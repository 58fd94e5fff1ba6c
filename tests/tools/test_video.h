#pragma once
// The host's own encoder's stream of test pictures, framed as the host frames it, for the
// client's tests.

#include <vector>

#include "base/bytes.h"
#include "protocol/message_type.h"

namespace quorin {

struct WireMessage {
  MessageType type;
  Bytes payload;
};

constexpr int kTestVideoWidth = 320;
constexpr int kTestVideoHeight = 240;

// Two groups of five frames, each opened by a configuration and a key frame:
// [config, key, p, p, p, p, config, key, p, p, p, p]; the second key frame (the encoder's
// next after 2 s) has its presentation time at 2.1 s. Every picture has a band of noise over
// its top quarter, new in each so the stream has some weight, and is red on the left half and
// blue on the right below it.
const std::vector<WireMessage>& testVideo();

}  // namespace quorin
