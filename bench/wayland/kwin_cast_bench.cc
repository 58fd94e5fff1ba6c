// Pictures per second and CPU of KWin's screen cast of a window taken through the host's
// capture and encoder, as the host runs them for a client (ScreenCaptureManager and
// VideoEncoder at 60 frames/s, 8 Mbit/s), with KWin's CPU over the same time. Two cases, each
// a full-screen window on Virtual-0: one repainting everything at KWin's pace
// (WaylandScreenProbe), one painted once and left alone. Each is measured after a settling
// second, so the still window's figures are those of a screen that no longer changes.
// Run on a KWin that grants this binary its screen cast and window list:
// run_kwin_cast_bench.sh starts one.
// Usage: kwin_cast_bench [seconds [kwin-pid]], KWin on $KWIN_WAYLAND_DISPLAY.

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "base/log.h"
#include "desktop/kde/kde_display_stream.h"
#include "e2e/probe_clock.h"
#include "kde/kde_window_list.h"
#include "video/screen_capture_manager.h"
#include "video/video_encoder.h"
#include "wayland/wayland_screen_probe.h"
#include "wayland/wayland_test_client.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for the cast's first picture and a still picture's refinements.
constexpr auto kSettle = std::chrono::seconds(2);

double ownCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The cast's stream, counting the new pictures it hands to capture.
class CountingStream final : public DisplayStream {
 public:
  CountingStream(std::unique_ptr<DisplayStream> inner, std::atomic<std::uint64_t>& pictures)
      : inner_(std::move(inner)), pictures_(pictures) {}
  const BgraImage* grab(bool force) override {
    const BgraImage* image = inner_->grab(force);
    if (image) ++pictures_;
    return image;
  }
  ChangedArea changedArea() const override { return inner_->changedArea(); }
  ScreenRect area() const override { return inner_->area(); }
  bool waitForChange(Clock::time_point deadline) override { return inner_->waitForChange(deadline); }
  void interrupt() override { inner_->interrupt(); }
  void abandon() override { inner_->abandon(); }
  std::optional<CaptureError> failure() const override { return inner_->failure(); }

 private:
  std::unique_ptr<DisplayStream> inner_;
  std::atomic<std::uint64_t>& pictures_;
};

// Per second of the measured time; CPU in cores.
struct Figures {
  double windowFrames = 0;  // commits of the repainting window
  double castPictures = 0;  // new pictures the cast gave capture
  double encodedFrames = 0;
  double benchCpu = 0;  // this process: capture, encoder, PipeWire reader, and the window's painting
  double paintingCpu = 0;
  double kwinCpu = 0;
};

// Casts the window titled `title` through capture and encoder and measures `seconds` of it.
// `probe` is the window when it repaints. Nothing, with the reason printed, when the cast fails.
std::optional<Figures> measureCast(const std::string& display, const std::string& title, double seconds,
                                   pid_t kwin, const WaylandScreenProbe* probe) {
  KdeWindowList list(display.c_str());
  const auto window = list.find(title);
  if (!window) {
    std::fprintf(stderr, "kwin_cast_bench: no window \"%s\" in KWin's list: %s\n", title.c_str(),
                 list.error().c_str());
    return std::nullopt;
  }
  CaptureError error;
  auto stream = kde::KdeDisplayStream::open(display, {.windowUuid = window->uuid}, nullptr, error);
  if (!stream) {
    std::fprintf(stderr, "kwin_cast_bench: KWin did not cast \"%s\": %s\n", title.c_str(), error.description.c_str());
    return std::nullopt;
  }
  VideoEncoder encoder(window->geometry.width, window->geometry.height);
  std::atomic<std::uint64_t> pictures{0}, frames{0};
  std::atomic<bool> ended{false};
  encoder.onFrame = [&](const VideoFrameHeader&, ByteView) { ++frames; };
  encoder.start(8'000'000, 60);
  ScreenCaptureManager capture(encoder);
  capture.setEndHandler([&](const CaptureError&) { ended = true; });
  capture.start(std::make_unique<CountingStream>(std::move(stream), pictures), 60);
  std::this_thread::sleep_for(kSettle);

  const auto committed = [&] { return probe ? probe->framesCommitted() : 0; };
  const auto painting = [&] { return probe ? probe->paintingCpuSeconds() : 0.0; };
  const std::uint64_t picturesBefore = pictures, framesBefore = frames;
  const int committedBefore = committed();
  const double ownBefore = ownCpuSeconds(), paintingBefore = painting();
  const double kwinBefore = kwin > 0 ? latency::cpuSeconds(kwin) : 0;
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  Figures figures{
      .windowFrames = (committed() - committedBefore) / elapsed,
      .castPictures = double(pictures - picturesBefore) / elapsed,
      .encodedFrames = double(frames - framesBefore) / elapsed,
      .benchCpu = (ownCpuSeconds() - ownBefore) / elapsed,
      .paintingCpu = (painting() - paintingBefore) / elapsed,
      .kwinCpu = kwin > 0 ? (latency::cpuSeconds(kwin) - kwinBefore) / elapsed : 0,
  };
  capture.stop();
  encoder.stop();
  if (ended) {
    std::fprintf(stderr, "kwin_cast_bench: KWin ended the cast of \"%s\" while measuring\n", title.c_str());
    return std::nullopt;
  }
  return figures;
}

void printRow(const char* name, const std::optional<Figures>& f) {
  if (!f) {
    std::printf("| %-28s | %29s |\n", name, "failed (see above)");
    return;
  }
  std::printf("| %-28s | %12.1f | %12.1f | %12.1f | %8.1f%% | %8.1f%% | %8.1f%% |\n", name, f->windowFrames,
              f->castPictures, f->encodedFrames, 100 * f->benchCpu, 100 * f->paintingCpu, 100 * f->kwinCpu);
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) {
  using namespace quorin;
  const double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  const pid_t kwin = argc > 2 ? std::stoi(argv[2]) : 0;
  const char* display = std::getenv("KWIN_WAYLAND_DISPLAY");
  if (!display || !*display) {
    std::fprintf(stderr, "kwin_cast_bench needs KWin on $KWIN_WAYLAND_DISPLAY (run_kwin_cast_bench.sh)\n");
    return 1;
  }
  setLogSink([](const std::string&) {});

  std::optional<Figures> moving, still;
  {
    const std::string title = "quorin bench moving";
    WaylandScreenProbe probe({.display = display, .output = "Virtual-0", .title = title});
    if (probe.ready()) {
      moving = measureCast(display, title, seconds, kwin, &probe);
    } else {
      std::fprintf(stderr, "kwin_cast_bench: the repainting window did not show on Virtual-0\n");
    }
  }
  {
    const std::string title = "quorin bench still";
    WaylandTestClient window(display, {.colour = 0x3465A4, .output = "Virtual-0", .title = title});
    if (window.error().empty()) {
      still = measureCast(display, title, seconds, kwin, nullptr);
    } else {
      std::fprintf(stderr, "kwin_cast_bench: the still window did not show: %s\n", window.error().c_str());
    }
  }

  std::printf("KWin window cast, full screen on Virtual-0 (1280x800), %.0f s each; CPU in %% of one core\n",
              seconds);
  std::printf("| %-28s | %12s | %12s | %12s | %9s | %9s | %9s |\n", "window", "window fps", "cast pics/s",
              "encoded fps", "bench CPU", "painting", "KWin CPU");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(14, '-').c_str(),
              std::string(14, '-').c_str(), std::string(14, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str());
  printRow("repainting every frame", moving);
  printRow("painted once, left alone", still);
  std::printf("(bench CPU: capture, encoder and PipeWire reader, plus the window's painting shown beside it)\n");
  return moving && still ? 0 : 1;
}
