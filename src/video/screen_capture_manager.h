#pragma once
// Feeds every changed picture of one monitor's stream to the encoder, as soon as the stream
// reports a change but never more often than the frame rate, with times measured from the
// first picture, each with the area that changed. Once the picture stops changing, the encoder
// refines it for as many frame slots as it asks, within a bound, then capture waits for the
// next change. One manager per client.
//
// Threads: construct, set the handlers, start() and stop() on the owner's thread. Pictures are
// grabbed and handed to the encoder, and both handlers are called, on the manager's own
// "capture" thread.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/geometry.h"
#include "video/capture_error.h"
#include "video/display_stream.h"
#include "video/image_sink.h"

namespace quorin {

class ScreenCaptureManager {
 public:
  using EndHandler = std::function<void(const CaptureError&)>;
  // The monitor's area and picture size, with the first picture and whenever either changes;
  // an area that changes before its picture comes is reported with the last picture's size
  // (empty before the first).
  using ChangeHandler = std::function<void(const ScreenRect& area, PictureSize picture)>;

  // How long stop() lets a grab in progress finish before it cuts the stream off from its
  // display server (DisplayStream::abandon), so that a hung display cannot hold up a stop.
  // A grab takes milliseconds even at 4K, and a stop must leave the rest of the host's stop
  // time to finish within the headless host's limit.
  static constexpr std::chrono::milliseconds kStopGrace{500};

  // Once the picture stops changing, each frame slot asks the encoder to refine it
  // (ImageSink::refine) until it says the picture is sharp, after kQuietSlots, and for no more
  // than kRefinementSlots: a still screen costs nothing after about a second at 60 pictures a
  // second. The encoder decides from the changed area and its quantiser how many slots it
  // uses: a blinking caret one or two, a new page of text as many as it takes.
  static constexpr int kRefinementSlots = 50;
  // A screen in motion misses a slot now and then; refining at once would keep the encoder
  // busy when the change comes a moment later (one latency benchmark run: p50 28 ms against
  // 18-22 ms without refinement).
  static constexpr int kQuietSlots = 1;

  // `encoder` must outlive the manager.
  explicit ScreenCaptureManager(ImageSink& encoder);
  ~ScreenCaptureManager();  // stop()
  ScreenCaptureManager(const ScreenCaptureManager&) = delete;
  ScreenCaptureManager& operator=(const ScreenCaptureManager&) = delete;

  // Called once when the stream ends for good (its failure()); capture has then stopped and
  // no more pictures reach the encoder. Neither handler may call stop() (they run on the
  // thread stop() joins). Set both before start().
  void setEndHandler(EndHandler handler);
  void setChangeHandler(ChangeHandler handler);

  // Captures `stream` at no more than `fps` pictures per second, replacing a running capture.
  void start(std::unique_ptr<DisplayStream> stream, int fps);

  // Ends capture and returns once no more pictures will reach the encoder. Safe in any state.
  // True when a grab had to be cut off: the display does not answer.
  bool stop();

 private:
  void run(std::unique_ptr<DisplayStream> stream, std::chrono::nanoseconds interval);
  bool stopRequested();
  // Sleeps until `until` unless stop() comes first; false once stopping.
  bool sleepUntil(std::chrono::steady_clock::time_point until);

  ImageSink& encoder_;
  EndHandler endHandler_;
  ChangeHandler changeHandler_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool running_ = false;             // the thread has not finished its loop yet
  DisplayStream* stream_ = nullptr;  // the running stream, for stop() to interrupt its wait
  std::thread thread_;
};

}  // namespace quorin
