#include "client/picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorin {
namespace {

struct ContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerDeleter {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string averror(const char* call, int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return std::string(call) + " failed: " + text;
}

// Converts to a packed RGB format with the matrix and range the stream declared (BT.601 and
// limited range unless it says otherwise), into full-range output.
bool convertInto(const AVFrame& frame, bool fullRange, AVPixelFormat format,
                 std::uint8_t* destination, int destinationStride) {
  std::unique_ptr<SwsContext, ScalerDeleter> scaler(sws_getContext(
      frame.width, frame.height, AV_PIX_FMT_YUV420P, frame.width, frame.height, format,
      SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
  if (!scaler) return false;
  const int* matrix = sws_getCoefficients(frame.colorspace);
  sws_setColorspaceDetails(scaler.get(), matrix, fullRange ? 1 : 0, matrix, 1, 0, 1 << 16,
                           1 << 16);
  std::uint8_t* planes[4] = {destination, nullptr, nullptr, nullptr};
  const int strides[4] = {destinationStride, 0, 0, 0};
  return sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) ==
         frame.height;
}

}  // namespace

Picture::Picture(AVFrame* frame, bool fullRange)
    : frame_(frame, [](const AVFrame* f) { av_frame_free(const_cast<AVFrame**>(&f)); }),
      fullRange_(fullRange) {}

int Picture::width() const { return frame_ ? frame_->width : 0; }
int Picture::height() const { return frame_ ? frame_->height : 0; }
const std::uint8_t* Picture::plane(int index) const { return frame_ ? frame_->data[index] : nullptr; }
int Picture::stride(int index) const { return frame_ ? frame_->linesize[index] : 0; }

std::vector<std::uint8_t> Picture::toBgra() const {
  if (!frame_) return {};
  std::vector<std::uint8_t> pixels(std::size_t(width()) * height() * 4);
  if (!convertInto(*frame_, fullRange_, AV_PIX_FMT_BGRA, pixels.data(), width() * 4)) return {};
  return pixels;
}

std::string Picture::writePng(const std::string& path) const {
  if (!frame_) return "no picture was decoded";
  const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!png) return "libavcodec has no PNG encoder";
  std::unique_ptr<AVCodecContext, ContextDeleter> context(avcodec_alloc_context3(png));
  std::unique_ptr<AVFrame, FrameDeleter> rgb(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!context || !rgb || !packet) return "out of memory";
  context->width = rgb->width = width();
  context->height = rgb->height = height();
  context->pix_fmt = AV_PIX_FMT_RGB24;
  rgb->format = AV_PIX_FMT_RGB24;
  context->time_base = AVRational{1, 1};
  if (const int status = avcodec_open2(context.get(), png, nullptr); status < 0) {
    return averror("avcodec_open2", status);
  }
  if (const int status = av_frame_get_buffer(rgb.get(), 0); status < 0) {
    return averror("av_frame_get_buffer", status);
  }
  if (!convertInto(*frame_, fullRange_, AV_PIX_FMT_RGB24, rgb->data[0], rgb->linesize[0])) {
    return "the colour conversion failed";
  }
  if (const int status = avcodec_send_frame(context.get(), rgb.get()); status < 0) {
    return averror("avcodec_send_frame", status);
  }
  if (const int status = avcodec_receive_packet(context.get(), packet.get()); status < 0) {
    return averror("avcodec_receive_packet", status);
  }
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return std::strerror(errno);
  const bool written = std::fwrite(packet->data, 1, std::size_t(packet->size), file.get()) ==
                       std::size_t(packet->size);
  if (!written || std::fclose(file.release()) != 0) return std::strerror(errno);
  return {};
}

}  // namespace quorin
