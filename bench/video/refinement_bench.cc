// What it takes to make a dense page of small text sharp, measured offline on this machine: no
// host, no network, one page after another through x264, every encode decoded and compared
// with the page. Three tables:
//   the host's encoder, refined slot after slot as the capture does until it says done;
//   the means x264 offers through libavcodec, re-encoding the page every slot: the host's
//     settings, adaptive quantisation on (what per-region quantiser offsets need), the old
//     average bit rate, a one-second rate buffer, a rate factor that may not go coarser;
//   the floor: the page as one key frame at a fixed quantiser, at the host's preset and the
//     slowest, with its size and how long it took.
// PSNR is of luma, after 6, 30 and 60 slots of a 60 Hz capture (0.1, 0.5 and 1 s).
// Needs DISPLAY (an Xvfb; run_refinement_bench.sh starts one) to paint the pages.
// Usage: refinement_bench

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "client/h264_decoder.h"
#include "client/video_receiver.h"
#include "protocol/json_codec.h"
#include "text_screen.h"
#include "video/video_encoder.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr int kFps = 60;
constexpr std::int64_t kBitrate = 8'000'000;
constexpr int kSlots = 60;
constexpr int kCheckpoints[] = {6, 30, 60};
constexpr double kSharp = 50;  // dB

struct Page {
  BgraImage image;
  std::vector<std::uint8_t> luma;
};

// One encode of the page after the change, as the client saw it.
struct Step {
  double psnr = 0;
  std::size_t bytes = 0;
  double millis = 0;
};

double load() {
  double averages[3] = {0, 0, 0};
  getloadavg(averages, 3);
  return averages[0];
}

double psnrOf(const Picture& picture, const Page& page) {
  return psnr(picture, page.luma, page.image.width, page.image.height,
              {0, 0, page.image.width, page.image.height});
}

// A row: PSNR at each checkpoint (the last step before it when the encodes stopped earlier),
// bytes by then, and the bytes and encodes it took to reach kSharp.
void printRow(const std::string& name, const std::vector<Step>& steps) {
  std::printf("| %s |", name.c_str());
  std::size_t bytes = 0;
  std::optional<std::pair<std::size_t, std::size_t>> sharp;
  double millis = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    bytes += steps[i].bytes;
    millis += steps[i].millis;
    if (!sharp && steps[i].psnr >= kSharp) sharp = {bytes, i + 1};
  }
  for (const int checkpoint : kCheckpoints) {
    const std::size_t last = std::min<std::size_t>(checkpoint, steps.size());
    std::size_t upTo = 0;
    for (std::size_t i = 0; i < last; ++i) upTo += steps[i].bytes;
    std::printf(" %.1f dB, %zu KB |", last ? steps[last - 1].psnr : 0.0, upTo / 1000);
  }
  if (sharp) {
    std::printf(" %zu KB in %zu |", sharp->first / 1000, sharp->second);
  } else {
    std::printf(" not reached |");
  }
  std::printf(" %zu | %.1f ms |\n", steps.size(), steps.empty() ? 0.0 : millis / double(steps.size()));
}

// The host's own encoder: the first page, refined until done, then the second, whose encodes
// are the steps. Refinements are asked slot after slot as the capture manager does.
std::vector<Step> hostSteps(const Page& before, const Page& after) {
  std::vector<Step> steps;
  bool measuring = false;
  Clock::time_point submitted;
  VideoReceiver receiver;
  receiver.onPicture = [&](const DecodedFrame& frame) {
    if (measuring) steps.push_back({psnrOf(frame.picture, after), 0, 0});
  };
  VideoEncoder encoder(after.image.width, after.image.height);
  encoder.onConfig = [&](const VideoConfig& config) {
    if (const auto text = json::encodeJson(config)) receiver.handleConfig(bytesOf(*text));
  };
  encoder.onFrame = [&](const VideoFrameHeader& header, ByteView frame) {
    const double millis = std::chrono::duration<double, std::milli>(Clock::now() - submitted).count();
    const std::size_t before = steps.size();
    receiver.handleFrame(videoFramePayload(header, frame), Clock::now());
    if (steps.size() > before) steps.back() = {steps.back().psnr, frame.size(), millis};
  };
  encoder.start(kBitrate, kFps);
  microseconds pts{0};
  const auto show = [&](const Page& page) {
    submitted = Clock::now();
    encoder.encode(page.image, pts, ChangedArea{});
    for (int slot = 1; slot < kSlots; ++slot) {
      pts += microseconds(1'000'000 / kFps);
      ImageSink::Refinement answer;
      while ((answer = encoder.refine(pts)) == ImageSink::Refinement::kPending) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (answer == ImageSink::Refinement::kDone) break;
      submitted = Clock::now();
    }
  };
  show(before);
  measuring = true;
  show(after);
  encoder.stop();
  return steps;
}

// libx264 through libavcodec at the host's settings, changed by `configure`, encoding the
// first page `slots` times, then the second; the second page's encodes are the steps.
std::vector<Step> x264Steps(const Page& before, const Page& after, int slots,
                            const std::function<void(AVCodecContext&)>& configure) {
  std::vector<Step> steps;
  const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
  AVCodecContext* context = avcodec_alloc_context3(x264);
  AVCodecContext& c = *context;
  c.width = after.image.width & ~1;
  c.height = after.image.height & ~1;
  c.pix_fmt = AV_PIX_FMT_YUV420P;
  c.time_base = AVRational{1, kFps};
  c.framerate = AVRational{kFps, 1};
  c.gop_size = 10 * kFps;
  c.max_b_frames = 0;
  c.thread_count = int(std::thread::hardware_concurrency()) + 1;
  c.bit_rate = 0;
  c.rc_max_rate = kBitrate;
  c.rc_buffer_size = int(kBitrate / 4);
  av_opt_set_double(c.priv_data, "crf", 16, 0);
  av_opt_set(c.priv_data, "preset", "ultrafast", 0);
  av_opt_set(c.priv_data, "tune", "zerolatency", 0);
  av_opt_set(c.priv_data, "x264-params", "cabac=1:8x8dct=1", 0);
  configure(c);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  if (avcodec_open2(context, x264, nullptr) < 0) {
    std::fprintf(stderr, "libx264 did not open\n");
    return steps;
  }
  frame->format = c.pix_fmt;
  frame->width = c.width;
  frame->height = c.height;
  av_frame_get_buffer(frame, 0);
  H264Decoder decoder;
  const auto encode = [&](const Page& page, int times, bool measured) {
    av_frame_make_writable(frame);
    libyuv::ARGBToI420(page.image.pixels, page.image.stride, frame->data[0], frame->linesize[0], frame->data[1],
                       frame->linesize[1], frame->data[2], frame->linesize[2], c.width, c.height);
    for (int i = 0; i < times; ++i) {
      frame->pts = frame->pts + 1;
      const auto start = Clock::now();
      avcodec_send_frame(context, frame);
      while (avcodec_receive_packet(context, packet) == 0) {
        const double millis = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        decoder.decode(ByteView(packet->data, std::size_t(packet->size)), [&](Picture picture) {
          if (measured) steps.push_back({psnrOf(picture, after), std::size_t(packet->size), millis});
        });
        av_packet_unref(packet);
      }
    }
  };
  frame->pts = 0;
  encode(before, slots, false);
  encode(after, slots, true);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&context);
  return steps;
}

void setParams(AVCodecContext& c, const char* extra) {
  av_opt_set(c.priv_data, "x264-params", (std::string("cabac=1:8x8dct=1:") + extra).c_str(), 0);
}

int run() {
  TextScreen screen(14);
  if (!screen.ready()) return 1;
  Page before, after;
  before.luma = screen.show(1, true);
  const BgraImage shown = screen.image();
  const std::vector<std::uint8_t> pixels(shown.pixels, shown.pixels + std::size_t(shown.stride) * shown.height);
  before.image = {pixels.data(), shown.width, shown.height, shown.stride};
  after.luma = screen.show(2, true);
  after.image = screen.image();

  std::printf("| dense page, %dx%d, 8 Mbit/s cap, load %.2f | 0.1 s | 0.5 s | 1 s | to %.0f dB | encodes | "
              "per encode |\n|---|---|---|---|---|---|---|\n",
              screen.width(), screen.height(), load(), kSharp);
  printRow("the host's encoder, refining until done", hostSteps(before, after));
  const std::pair<const char*, std::function<void(AVCodecContext&)>> means[] = {
      {"every slot, the host's settings (CRF 16, 0.25 s buffer)", [](AVCodecContext&) {}},
      {"every slot, adaptive quantisation on", [](AVCodecContext& c) { setParams(c, "aq-mode=1"); }},
      {"every slot, no decimation, intra deadzone for P blocks",
       [](AVCodecContext& c) { setParams(c, "dct-decimate=0:deadzone-inter=11"); }},
      {"every slot, average bit rate 8 Mbit/s",
       [](AVCodecContext& c) {
         c.bit_rate = kBitrate;
         av_opt_set_double(c.priv_data, "crf", -1, 0);
       }},
      {"every slot, 1 s rate buffer", [](AVCodecContext& c) { c.rc_buffer_size = int(kBitrate); }},
      {"every slot, rate factor no coarser than 30 (may overflow the buffer)",
       [](AVCodecContext& c) { av_opt_set_double(c.priv_data, "crf_max", 30, 0); }},
  };
  for (const auto& [name, configure] : means) printRow(name, x264Steps(before, after, kSlots, configure));

  std::printf("\n| the page as one key frame | size | PSNR | encode |\n|---|---|---|---|\n");
  for (const char* preset : {"ultrafast", "veryslow"}) {
    for (const int qp : {26, 22, 18, 14}) {
      const auto steps = x264Steps(before, after, 1, [&](AVCodecContext& c) {
        av_opt_set(c.priv_data, "preset", preset, 0);
        av_opt_set_double(c.priv_data, "crf", -1, 0);
        av_opt_set_int(c.priv_data, "qp", qp, 0);
        c.rc_max_rate = 0;
        c.rc_buffer_size = 0;
        c.gop_size = 1;
      });
      if (steps.empty()) continue;
      std::printf("| %s, QP %d | %zu KB | %.1f dB | %.0f ms |\n", preset, qp, steps[0].bytes / 1000, steps[0].psnr,
                  steps[0].millis);
    }
  }
  return 0;
}

}  // namespace
}  // namespace quorin

int main() {
  quorin::setLogSink([](const std::string&) {});
  return quorin::run();
}
