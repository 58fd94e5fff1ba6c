#include "video/video_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}
#include <pthread.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/stage_log.h"
#include "video/h264_nal_units.h"
#include "video/picture_fitter.h"

namespace quorin {

namespace {

using std::chrono::microseconds;

constexpr microseconds kMaxKeyFrameSpacing = std::chrono::seconds(2);
constexpr std::int32_t kNalLengthSize = 4;
constexpr double kConstantQuality = 16;  // x264's CRF

struct ContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

void appendLengthPrefixed(Bytes& out, ByteView nalUnit) {
  const auto size = static_cast<std::uint32_t>(nalUnit.size());
  out.push_back(static_cast<std::uint8_t>(size >> 24));
  out.push_back(static_cast<std::uint8_t>(size >> 16));
  out.push_back(static_cast<std::uint8_t>(size >> 8));
  out.push_back(static_cast<std::uint8_t>(size));
  out.insert(out.end(), nalUnit.begin(), nalUnit.end());
}

// 4:2:0 pictures come in whole 2x2 blocks: an odd last column or row is left out.
int evenDown(int size) { return size & ~1; }

}  // namespace

struct VideoEncoder::Codec {
  // What came of an encode: the frame quantiser x264 used, the frame's size and kind.
  struct Result {
    int qp = 0;
    std::size_t bytes = 0;
    bool keyFrame = false;
  };
  // Three pictures: one being encoded, one waiting in the mailbox, one being filled.
  static constexpr int kSlots = 3;
  // Presentation times of the pictures in flight, by the encoder's own frame index.
  static constexpr int kTimesKept = 16;

  std::unique_ptr<AVCodecContext, ContextDeleter> context;
  std::unique_ptr<AVPacket, PacketDeleter> packet;
  std::array<std::unique_ptr<AVFrame, FrameDeleter>, kSlots> pictures;

  // The producer's: what each slot's bars were painted for, and the last picture's size.
  std::optional<PictureFitter> fitter;
  std::array<PictureSize, kSlots> placed{};
  PictureSize lastPicture;
  // Size changes counted by the producer, and the count each slot's picture was converted
  // under, read by the "encode" thread once the mailbox handed the slot over: the first
  // picture encoded under a new count starts with a key frame, even when the picture that
  // changed size was replaced in the mailbox, and a refinement of it does not.
  std::uint64_t sizeChanges = 0;
  std::array<std::uint64_t, kSlots> sizeChangesOf{};

  // Everything below belongs to the "encode" thread.
  std::int64_t nextIndex = 0;
  std::array<microseconds, kTimesKept> ptsByIndex{};
  std::optional<microseconds> lastKeyPts;
  std::uint64_t keyedSizeChanges = 0;
  std::vector<Bytes> parameterSets;
  bool sentConfig = false;
  Bytes payload;
  std::optional<Result> last;  // of the last packet delivered

  // Opens libx264; logs the failing call and returns nothing on failure.
  static std::unique_ptr<Codec> open(int width, int height, std::int64_t bitrate, int fps);

  void convert(const BgraImage& image, int slot);
  // Returns nothing when no frame, or no quantiser, came out.
  std::optional<Result> encode(int slot, microseconds pts, VideoEncoder& owner);
  void flush(VideoEncoder& owner);
  void receivePackets(VideoEncoder& owner);
  void deliver(const AVPacket& encoded, VideoEncoder& owner);
};

std::unique_ptr<VideoEncoder::Codec> VideoEncoder::Codec::open(int width, int height,
                                                               std::int64_t bitrate, int fps) {
  const auto fail = [](const char* call, int status) {
    logLine(std::string(call) + " failed " + std::to_string(status));
    return nullptr;
  };
  // libx264 reports its settings at the info level on stderr; keep only real errors.
  av_log_set_level(AV_LOG_ERROR);

  const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
  if (!x264) return fail("avcodec_find_encoder_by_name", AVERROR_ENCODER_NOT_FOUND);
  auto codec = std::make_unique<Codec>();
  codec->context.reset(avcodec_alloc_context3(x264));
  codec->packet.reset(av_packet_alloc());
  if (!codec->context || !codec->packet) return fail("avcodec_alloc_context3", AVERROR(ENOMEM));

  AVCodecContext& c = *codec->context;
  c.width = width;
  c.height = height;
  c.pix_fmt = AV_PIX_FMT_YUV420P;
  // Frames are numbered at the nominal rate: an idle screen submits nothing, and rate control
  // must not save up the silence for a burst afterwards.
  c.time_base = AVRational{1, fps};
  c.framerate = AVRational{fps, 1};
  // Constant quality capped at the bit rate, with a quarter-second VBV buffer: without the cap
  // a key frame of a busy 1080p screen comes out at 700 KB and takes 30 ms or more to encode
  // (and longer to send); with it key frames stay near 230 KB (bench/video). Not an average bit
  // rate: that pays back a new page's large first frame by encoding the refinements after it
  // coarser than the page itself (QP 35, then 42, 38, 34 for frames of 90-600 bytes, on the
  // text benchmark's page), so many refinements did nothing. At CRF 16 each refinement is
  // finer than the last (QP 23, 21, 18, 16, 14 ...), and VBV alone spends the link's budget.
  // Under this cap bytes, not the means, decide how soon a still page is sharp
  // (bench/video/run_refinement_bench.sh, a 1080p page of 14-pixel text): x264 needs about
  // 660 KB for 50 dB as one key frame at ultrafast (560 KB at veryslow), and refinements at
  // CRF 16 get there with about 770 KB in about 40 encodes. The other means measured worse:
  // per-region quantiser offsets need adaptive quantisation, which costs encode time (5.0
  // against 4.8 ms on a quiet machine) and gains nothing on a page changed everywhere;
  // libavcodec's wrapper takes no per-picture quantiser; a rate factor capped at 30 is sharp
  // by 0.5 s but overflows the buffer; a one-second buffer is sharp in 6 to 8 encodes but makes
  // the first frame of every large change larger and slower (latency p99 53 against 27 ms at
  // 1080p in one run under load).
  c.bit_rate = 0;
  av_opt_set_double(c.priv_data, "crf", kConstantQuality, 0);
  c.rc_max_rate = bitrate;
  c.rc_buffer_size = int(std::min<std::int64_t>(bitrate / 4, INT32_MAX));
  c.gop_size = 2 * fps;
  c.max_b_frames = 0;
  // Zero latency means one slice per thread. One slice more than there are cores keeps a
  // picture from waiting on the slice of a core that is busy elsewhere: on 2 cores, 3 slices
  // gave p50/p99 encode times of about 6.5/17 ms against 7.4/23 ms for 2, for 3 % more CPU.
  c.thread_count = int(std::thread::hardware_concurrency()) + 1;
  // libyuv converts with the BT.601 matrix into limited range; say so in the stream.
  c.colorspace = AVCOL_SPC_SMPTE170M;
  c.color_range = AVCOL_RANGE_MPEG;
  c.color_primaries = AVCOL_PRI_BT709;
  c.color_trc = AVCOL_TRC_IEC61966_2_1;
  av_opt_set(c.priv_data, "preset", "ultrafast", 0);
  av_opt_set(c.priv_data, "tune", "zerolatency", 0);
  av_opt_set(c.priv_data, "profile", "high", 0);
  // ultrafast turns off CABAC and the 8x8 transform, which would make the stream Constrained
  // Baseline. With both back on it is High profile and still cheaper than superfast, the
  // fastest preset that keeps them (7.8 against 9.4 ms of CPU per 1080p picture here).
  av_opt_set(c.priv_data, "x264-params", "cabac=1:8x8dct=1", 0);
  av_opt_set_int(c.priv_data, "forced-idr", 1, 0);

  if (const int status = avcodec_open2(&c, x264, nullptr); status < 0) {
    return fail("avcodec_open2", status);
  }
  codec->fitter.emplace(PictureSize{width, height});
  for (auto& picture : codec->pictures) {
    picture.reset(av_frame_alloc());
    if (!picture) return fail("av_frame_alloc", AVERROR(ENOMEM));
    picture->format = c.pix_fmt;
    picture->width = width;
    picture->height = height;
    if (const int status = av_frame_get_buffer(picture.get(), 0); status < 0) {
      return fail("av_frame_get_buffer", status);
    }
  }
  return codec;
}

void VideoEncoder::Codec::convert(const BgraImage& image, int slot) {
  AVFrame* picture = pictures[slot].get();
  // libavcodec releases its reference once a frame is encoded; this only copies if it did not.
  if (!av_frame_is_writable(picture) && av_frame_make_writable(picture) < 0) return;
  const I420Planes planes{picture->data[0],     picture->data[1],     picture->data[2],
                          picture->linesize[0], picture->linesize[1], picture->linesize[2]};
  const PictureSize size = fitter->fit(image, planes, placed[slot] == PictureSize{image.width & ~1, image.height & ~1});
  placed[slot] = size;
  // The first picture is a key frame anyway; a later one of another size gets one too, so
  // that the client's decoder does not mix the old monitor's picture into the new one.
  if (lastPicture.width > 0 && size != lastPicture) ++sizeChanges;
  sizeChangesOf[slot] = sizeChanges;
  lastPicture = size;
}

std::optional<VideoEncoder::Codec::Result> VideoEncoder::Codec::encode(int slot, microseconds pts,
                                                                      VideoEncoder& owner) {
  AVFrame* picture = pictures[slot].get();
  picture->pts = nextIndex++;
  ptsByIndex[picture->pts % kTimesKept] = pts;
  // x264 only counts frames; an idle screen submits none, so the time limit is ours to keep.
  const bool sizeChanged = sizeChangesOf[slot] != keyedSizeChanges;
  keyedSizeChanges = sizeChangesOf[slot];
  const bool keyDue = !lastKeyPts || pts < *lastKeyPts || pts - *lastKeyPts >= kMaxKeyFrameSpacing || sizeChanged;
  picture->pict_type = keyDue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  last.reset();
  if (avcodec_send_frame(context.get(), picture) < 0) return std::nullopt;
  receivePackets(owner);  // zero latency: this picture's packet, if any
  return last;
}

void VideoEncoder::Codec::flush(VideoEncoder& owner) {
  if (avcodec_send_frame(context.get(), nullptr) == 0) receivePackets(owner);
  context.reset();
}

void VideoEncoder::Codec::receivePackets(VideoEncoder& owner) {
  while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
    deliver(*packet, owner);
    av_packet_unref(packet.get());
  }
}

void VideoEncoder::Codec::deliver(const AVPacket& encoded, VideoEncoder& owner) {
  const bool isKeyframe = (encoded.flags & AV_PKT_FLAG_KEY) != 0;
  // The statistics start with the frame's quality as a little-endian lambda (QP x 118).
  std::size_t statsSize = 0;
  if (const std::uint8_t* stats = av_packet_get_side_data(&encoded, AV_PKT_DATA_QUALITY_STATS, &statsSize);
      stats && statsSize >= 4) {
    const std::int32_t quality = std::int32_t(stats[0] | stats[1] << 8 | stats[2] << 16 | std::uint32_t(stats[3]) << 24);
    last = Result{(quality + FF_QP2LAMBDA / 2) / FF_QP2LAMBDA, std::size_t(encoded.size), isKeyframe};
  }
  const microseconds pts =
      encoded.pts >= 0 ? ptsByIndex[encoded.pts % kTimesKept] : microseconds(0);

  // Parameter sets go to the configuration, never into the picture.
  payload.clear();
  bool freshSets = false;
  h264::forEachNalUnit(ByteView(encoded.data, std::size_t(encoded.size)), [&](ByteView nal) {
    switch (h264::nalUnitType(nal)) {
      case h264::kSequenceParameterSet:
      case h264::kPictureParameterSet:
        if (!freshSets) parameterSets.clear();
        freshSets = true;
        parameterSets.emplace_back(nal.begin(), nal.end());
        break;
      case h264::kAccessUnitDelimiter:
        break;
      default:
        appendLengthPrefixed(payload, nal);
    }
  });

  if ((isKeyframe || !sentConfig) && !parameterSets.empty()) {
    if (owner.onConfig) owner.onConfig(VideoConfig{parameterSets, kNalLengthSize});
    sentConfig = true;
  }
  if (isKeyframe) lastKeyPts = pts;
  StageLog::instance().mark("encodeEnd", pts);
  if (owner.onFrame) {
    owner.onFrame(VideoFrameHeader{isKeyframe, static_cast<std::uint64_t>(pts.count())}, payload);
  }
}

VideoEncoder::VideoEncoder(std::int32_t width, std::int32_t height)
    : width_(width), height_(height) {}

VideoEncoder::~VideoEncoder() { stop(); }

void VideoEncoder::start(std::int64_t bitrate, int fps) {
  {
    std::lock_guard lock(mutex_);
    if (started_ || stopping_) return;
    started_ = true;
  }
  codec_ = Codec::open(evenDown(width_), evenDown(height_), bitrate, std::max(fps, 1));
  if (!codec_) return;
  {
    std::lock_guard lock(mutex_);
    accepting_ = true;
  }
  thread_ = std::thread([this] { run(); });
  pthread_setname_np(thread_.native_handle(), "encode");
}

void VideoEncoder::encode(const BgraImage& image, std::chrono::microseconds pts, const ChangedArea& changed) {
  if (!image.pixels || image.width < 2 || image.height < 2) return;
  int slot = -1;
  {
    std::lock_guard lock(mutex_);
    if (!accepting_ || fillingSlot_ >= 0) return;
    for (int i = 0; i < Codec::kSlots; ++i) {
      if (i != waitingSlot_ && i != encodingSlot_) slot = i;
    }
    fillingSlot_ = slot;
  }
  codec_->convert(image, slot);
  StageLog::instance().mark("converted", std::max(pts, microseconds(0)));
  {
    std::lock_guard lock(mutex_);
    fillingSlot_ = -1;
    if (!accepting_) return;
    if (waitingSlot_ >= 0) ++skipped_;
    waitingSlot_ = newestSlot_ = slot;
    waitingPts_ = std::max(pts, microseconds(0));
    const PictureSize size{image.width, image.height};
    decision_.changed(changed.pixels(size), std::int64_t(size.width) * size.height);
  }
  wake_.notify_one();
}

ImageSink::Refinement VideoEncoder::refine(std::chrono::microseconds pts) {
  {
    std::lock_guard lock(mutex_);
    if (!accepting_ || newestSlot_ < 0) return Refinement::kDone;
    if (waitingSlot_ >= 0 || encodingSlot_ >= 0) return Refinement::kPending;
    if (decision_.next() == RefinementDecision::Next::kDone) return Refinement::kDone;
    // The producer never fills a waiting slot, nor one being encoded: the picture stays.
    waitingSlot_ = newestSlot_;
    waitingPts_ = std::max(pts, microseconds(0));
    decision_.refining();
  }
  wake_.notify_one();
  return Refinement::kQueued;
}

void VideoEncoder::stop() {
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void VideoEncoder::setBackPressure(bool congested) {
  {
    std::lock_guard lock(mutex_);
    congested_ = congested;
  }
  wake_.notify_one();
}

bool VideoEncoder::takePicture(int& slot, std::chrono::microseconds& pts) {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return stopping_ || (waitingSlot_ >= 0 && !congested_); });
  // On stop the waiting picture is still encoded, congested or not.
  if (waitingSlot_ < 0) return false;
  slot = encodingSlot_ = waitingSlot_;
  pts = waitingPts_;
  waitingSlot_ = -1;
  return true;
}

void VideoEncoder::run() {
  int slot = -1;
  std::chrono::microseconds pts{0};
  while (takePicture(slot, pts)) {
    StageLog::instance().mark("encodeStart", pts);
    const auto result = codec_->encode(slot, pts, *this);
    std::lock_guard lock(mutex_);
    encodingSlot_ = -1;
    if (result && result->keyFrame) decision_.keyFrame();
    // Unless a newer picture is already waiting, this was the newest one.
    if (result && waitingSlot_ < 0) decision_.encoded(result->qp, result->bytes);
  }
  codec_->flush(*this);
}

}  // namespace quorin
