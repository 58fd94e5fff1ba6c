#pragma once
// Turns captured BGRA pictures into an H.264 stream for one client (libx264 through
// libavcodec): High profile, no B-frames, constant quality capped at the bit rate, a key frame
// at least every 2 x fps frames and every 2 s of presentation time. The stream keeps the size
// it was made with: pictures of another size are fitted into it (PictureFitter: scaled, aspect
// kept, between black bars), and a picture whose size differs from the one before starts with
// a key frame. H.264's 4:2:0 pictures have even sizes: an odd last column or row is left out.
//
// Threads: construct, set the callbacks, start() and stop() on the owner's thread. encode() is
// called by one producer at a time (the capture thread). Each picture is converted to I420 on
// the producer's thread and left in a one-slot mailbox for the encoder's own "encode" thread;
// a newer picture replaces one that has not started encoding (a skip). The newest picture keeps
// its slot after encoding, so that refine() can encode it again while its encodes so far and
// the area changed say it is coarse (RefinementDecision). onConfig and onFrame
// run on the "encode" thread, never concurrently with each other.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "base/bytes.h"
#include "protocol/video_messages.h"
#include "video/image_sink.h"
#include "video/refinement_decision.h"

namespace quorin {

class VideoEncoder final : public ImageSink {
 public:
  // The parameter sets (SPS, PPS) and the 4-byte NAL length size; delivered before the first
  // frame and before every key frame.
  using ConfigCallback = std::function<void(const VideoConfig& config)>;
  // One encoded picture in length-prefixed (AVCC) form without parameter sets. `picture` is
  // valid only during the call.
  using FrameCallback = std::function<void(const VideoFrameHeader& header, ByteView picture)>;

  // The size of the stream (odd sizes are rounded down to even).
  VideoEncoder(std::int32_t width, std::int32_t height);
  ~VideoEncoder() override;  // stop()
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Assign before start().
  ConfigCallback onConfig;
  FrameCallback onFrame;

  // Opens the encoder at no more than `bitrate` bits per second for `fps` pictures per second.
  // A failure is logged once ("avcodec_open2 failed -22" and the like); the encoder then
  // ignores pictures. Only the first call has an effect.
  void start(std::int64_t bitrate = 8'000'000, int fps = 60);

  // Queues `image` for encoding with its presentation time (negative times count as 0).
  // Does nothing before start(), after stop() or after a failed start().
  void encode(const BgraImage& image, std::chrono::microseconds pts, const ChangedArea& changed) override;
  // Queues the newest picture again when its last encode left it coarse. Queues nothing
  // while an encode is waiting or under way (kPending: its quantiser decides), once the
  // picture is sharp or has had its share of refinements, and before the first picture.
  // Same thread and conditions as encode().
  Refinement refine(std::chrono::microseconds pts) override;

  // Encodes the picture still waiting, flushes the encoder and delivers every pending frame
  // before returning. Later calls of encode() and stop() do nothing.
  void stop();

  // Network back-pressure, from any thread. While set, pictures wait in the mailbox (the
  // newest replacing older ones) instead of being encoded; clearing it encodes the newest.
  // Frames already encoded are always delivered.
  void setBackPressure(bool congested);

  // Pictures (refinements included) replaced in the mailbox before they were encoded. Any thread.
  std::uint64_t skippedImages() const { return skipped_.load(); }

 private:
  struct Codec;  // libavcodec state, touched only by the "encode" thread once started

  void run();
  bool takePicture(int& slot, std::chrono::microseconds& pts);

  const std::int32_t width_;
  const std::int32_t height_;
  std::unique_ptr<Codec> codec_;

  // The mailbox: which of the codec's picture slots is waiting, being encoded or filled.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool started_ = false;
  bool accepting_ = false;
  bool stopping_ = false;
  bool congested_ = false;
  int newestSlot_ = -1;  // the last picture handed over, for refine()
  int waitingSlot_ = -1;
  std::chrono::microseconds waitingPts_{0};
  int encodingSlot_ = -1;
  int fillingSlot_ = -1;
  RefinementDecision decision_;  // about the newest picture
  std::atomic<std::uint64_t> skipped_{0};
  std::thread thread_;
};

}  // namespace quorin
