#pragma once
// libavcodec's H.264 decoder set up for the lowest latency: every access unit that is fed in
// comes out as a picture at once (no frame threading, no reordering delay). Pictures come out
// in I420 whatever the stream's own format. Not thread-safe: one thread feeds it.

#include <functional>
#include <memory>

#include "base/bytes.h"
#include "client/picture.h"

struct AVCodecContext;

namespace quorin {

class H264Decoder {
 public:
  H264Decoder();
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  // False when libavcodec could not open its decoder; decode() then always fails.
  bool ready() const { return context_ != nullptr; }

  // Decodes one access unit in Annex B form (parameter sets in front of a key frame) and
  // hands each picture it completes to `picture`. False when the decoder rejects the data or
  // a picture comes out damaged; a damaged picture is not handed on.
  bool decode(ByteView accessUnit, const std::function<void(Picture)>& picture);

 private:
  struct Converter;

  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context_;
  std::unique_ptr<Converter> converter_;
};

}  // namespace quorin
