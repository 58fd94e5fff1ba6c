#include "client/h264_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace quorin {
namespace {

void freeContext(AVCodecContext* context) { avcodec_free_context(&context); }

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

bool isI420(int format) { return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P; }

bool isFullRange(const AVFrame& frame) {
  return frame.format == AV_PIX_FMT_YUVJ420P || frame.color_range == AVCOL_RANGE_JPEG;
}

}  // namespace

// Brings pictures of other layouts (4:4:4, 4:2:2, high bit depth) to I420.
struct H264Decoder::Converter {
  ~Converter() { sws_freeContext(scaler); }

  FramePtr toI420(const AVFrame& source) {
    scaler = sws_getCachedContext(scaler, source.width, source.height,
                                  static_cast<AVPixelFormat>(source.format), source.width,
                                  source.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                  nullptr, nullptr);
    FramePtr converted(av_frame_alloc());
    if (!scaler || !converted) return nullptr;
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = source.width;
    converted->height = source.height;
    if (av_frame_get_buffer(converted.get(), 0) < 0 ||
        av_frame_copy_props(converted.get(), &source) < 0) {
      return nullptr;
    }
    sws_scale(scaler, source.data, source.linesize, 0, source.height, converted->data,
              converted->linesize);
    return converted;
  }

  SwsContext* scaler = nullptr;
};

H264Decoder::H264Decoder() : context_(nullptr, freeContext), converter_(new Converter) {
  const AVCodec* h264 = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!h264) return;
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(avcodec_alloc_context3(h264),
                                                                    freeContext);
  if (!context) return;
  // Frame threads would hold each picture back by one frame per thread; slices do not.
  context->thread_type = FF_THREAD_SLICE;
  context->thread_count = 0;
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  // A damaged picture must count as a failure, not be papered over by error concealment.
  context->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
  context->err_recognition |= AV_EF_EXPLODE;
  if (avcodec_open2(context.get(), h264, nullptr) < 0) return;
  context_ = std::move(context);
}

H264Decoder::~H264Decoder() = default;

bool H264Decoder::decode(ByteView accessUnit, const std::function<void(Picture)>& picture) {
  if (!context_) return false;
  AVPacket* packet = av_packet_alloc();
  if (!packet) return false;
  // Not reference-counted: libavcodec copies the bytes (with its padding) before reading them.
  packet->data = const_cast<std::uint8_t*>(accessUnit.data());
  packet->size = static_cast<int>(accessUnit.size());
  bool ok = avcodec_send_packet(context_.get(), packet) >= 0;
  av_packet_free(&packet);

  for (;;) {
    FramePtr frame(av_frame_alloc());
    if (!frame) return false;
    const int status = avcodec_receive_frame(context_.get(), frame.get());
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
    if (status < 0 || frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) {
      ok = false;
      if (status < 0) break;
      continue;
    }
    if (!isI420(frame->format)) {
      frame = converter_->toI420(*frame);
      if (!frame) {
        ok = false;
        continue;
      }
    }
    const bool fullRange = isFullRange(*frame);
    picture(Picture(frame.release(), fullRange));
  }
  return ok;
}

}  // namespace quorin
