// The video pipeline on a real X server, against ffmpeg's x11grab + libx264 on the same screen.
//
// Needs DISPLAY (an Xvfb; run_video_bench.sh starts one) and screen_animator next
// to this program. Phases, each 10 s by default:
//   1. full-screen animation: per-stage time per picture (grab, convert, encode; p50, p99),
//      capture-to-encoded latency, pictures per second, CPU of the pipeline in cores;
//   2. the animation stopped: CPU of the same pipeline on a static screen;
//   3. the animation again, captured and encoded by the ffmpeg command line.
// Usage: video_pipeline_bench [seconds]

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "video/screen_capture_manager.h"
#include "video/video_encoder.h"
#include "video/x11/x11_display_stream.h"

extern char** environ;

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU seconds of another process (user + system), from /proc.
double otherCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (std::size_t i = close + 2; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += line[i];
    }
  }
  // Fields 14 and 15 of the file (utime, stime) are 11 and 12 after the command name.
  if (fields.size() < 13) return 0;
  return double(std::stoll(fields[11]) + std::stoll(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

pid_t spawn(const std::vector<std::string>& args, int stderrFd = -1) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Per-picture timestamps gathered on the capture and encode threads.
struct Timings {
  std::mutex mutex;
  bool recording = false;
  std::vector<double> grab;
  std::vector<double> convert;
  std::vector<double> encode;
  std::vector<double> captureToEncoded;
  struct InFlight {
    Clock::time_point grabStart;
    Clock::time_point handedOver;
  };
  std::map<std::int64_t, InFlight> inFlight;  // by pts
  Clock::time_point lastGrabStart;
  Clock::duration lastGrab{};
  std::uint64_t ticks = 0;      // grabs while recording
  std::uint64_t idleTicks = 0;  // of which found nothing new
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::size_t largestFrame = 0;
};

class TimedStream final : public DisplayStream {
 public:
  TimedStream(std::unique_ptr<DisplayStream> inner, Timings& timings)
      : inner_(std::move(inner)), timings_(timings) {}
  const BgraImage* grab(bool force) override {
    const auto start = Clock::now();
    const BgraImage* image = inner_->grab(force);
    std::lock_guard lock(timings_.mutex);
    timings_.lastGrabStart = start;
    timings_.lastGrab = Clock::now() - start;
    if (timings_.recording) {
      ++timings_.ticks;
      timings_.idleTicks += image ? 0 : 1;
    }
    return image;
  }
  ScreenRect area() const override { return inner_->area(); }
  bool waitForChange(Clock::time_point deadline) override { return inner_->waitForChange(deadline); }
  void interrupt() override { inner_->interrupt(); }
  ChangedArea changedArea() const override { return inner_->changedArea(); }
  std::optional<CaptureError> failure() const override { return inner_->failure(); }

 private:
  std::unique_ptr<DisplayStream> inner_;
  Timings& timings_;
};

class TimedSink final : public ImageSink {
 public:
  TimedSink(VideoEncoder& encoder, Timings& timings) : encoder_(encoder), timings_(timings) {}
  void encode(const BgraImage& image, microseconds pts, const ChangedArea& changed) override {
    const auto start = Clock::now();
    encoder_.encode(image, pts, changed);
    const auto end = Clock::now();
    std::lock_guard lock(timings_.mutex);
    if (!timings_.recording) return;
    timings_.grab.push_back(milliseconds(timings_.lastGrab));
    timings_.convert.push_back(milliseconds(end - start));
    timings_.inFlight[pts.count()] = {timings_.lastGrabStart, end};
  }
  Refinement refine(microseconds pts) override { return encoder_.refine(pts); }

 private:
  VideoEncoder& encoder_;
  Timings& timings_;
};

struct CpuWindow {
  double cores = 0;
  double xvfbCores = 0;
  std::uint64_t frames = 0;
};

CpuWindow measure(double seconds, Timings& timings, pid_t xvfb) {
  std::uint64_t framesBefore;
  {
    std::lock_guard lock(timings.mutex);
    framesBefore = timings.frames;
  }
  const double cpu = processCpuSeconds();
  const double xvfbCpu = xvfb > 0 ? otherCpuSeconds(xvfb) : 0;
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::lock_guard lock(timings.mutex);
  return {(processCpuSeconds() - cpu) / wall, xvfb > 0 ? (otherCpuSeconds(xvfb) - xvfbCpu) / wall : 0,
          timings.frames - framesBefore};
}

void stopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// The animation, with its closing report going to a temporary file.
class Animation {
 public:
  explicit Animation(const std::string& program) {
    logFd_ = mkstemp(logPath_);
    pid_ = spawn({program, "60"}, logFd_);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  // Stops it and returns the pictures per second it drew.
  double stop() {
    stopChild(pid_);
    std::ifstream log(logPath_);
    std::string word;
    long pictures = 0;
    double seconds = 0;
    log >> word >> pictures >> word >> word >> seconds;
    close(logFd_);
    unlink(logPath_);
    return seconds > 0 ? double(pictures) / seconds : 0;
  }

 private:
  char logPath_[40] = "/tmp/video-bench-animator.XXXXXX";
  int logFd_ = -1;
  pid_t pid_ = -1;
};

struct FfmpegRun {
  double cores = 0;
  double xvfbCores = 0;
  long frames = 0;
  double seconds = 0;
};

FfmpegRun runFfmpeg(double seconds, const std::string& display, int width, int height, pid_t xvfb) {
  char logPath[] = "/tmp/video-bench-ffmpeg.XXXXXX";
  const int logFd = mkstemp(logPath);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const double xvfbCpu = xvfb > 0 ? otherCpuSeconds(xvfb) : 0;
  const auto start = Clock::now();
  const pid_t pid = spawn({"ffmpeg", "-hide_banner", "-nostdin", "-y", "-f", "x11grab", "-framerate",
                           "60", "-video_size", size, "-i", display, "-t", std::to_string(seconds),
                           "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-tune",
                           "zerolatency", "-bf", "0", "-g", "120", "-b:v", "8M", "-f", "null", "-"},
                          logFd);
  FfmpegRun run;
  if (pid <= 0) return run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.xvfbCores = xvfb > 0 ? (otherCpuSeconds(xvfb) - xvfbCpu) / run.seconds : 0;
  run.cores = (double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 +
               double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6) / run.seconds;
  // The last "frame=" of the progress lines is the total.
  std::ifstream log(logPath);
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  const auto at = text.rfind("frame=");
  if (at != std::string::npos) run.frames = std::strtol(text.c_str() + at + 6, nullptr, 10);
  close(logFd);
  unlink(logPath);
  return run;
}

std::string directoryOfThisProgram() {
  std::string path(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  path.resize(n > 0 ? std::size_t(n) : 0);
  return path.substr(0, path.rfind('/'));
}

int run(double seconds) {
  const char* display = std::getenv("DISPLAY");
  if (!display) {
    std::fprintf(stderr, "DISPLAY is not set\n");
    return 1;
  }
  const char* xvfbPid = std::getenv("XVFB_PID");
  const pid_t xvfb = xvfbPid ? pid_t(std::atoi(xvfbPid)) : 0;
  const std::string animator = directoryOfThisProgram() + "/screen_animator";

  Timings timings;
  CaptureError error;
  auto stream = x11::openDisplayStream({}, {}, error);
  if (!stream) {
    std::fprintf(stderr, "no display to capture: %s\n", error.description.c_str());
    return 1;
  }
  const ScreenRect screen = stream->area();
  // The host's default: a larger monitor is scaled down to 1920x1080 before encoding.
  const PictureSize streamSize = streamSizeFor({screen.width, screen.height}, {1920, 1080});

  double loadAverage[3] = {0, 0, 0};
  getloadavg(loadAverage, 3);
  std::printf("Screen %dx%d streamed at %dx%d on %s, %ld cores, load average %.2f at start\n\n", screen.width,
              screen.height, streamSize.width, streamSize.height, display, sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage[0]);

  Animation animation(animator);

  VideoEncoder encoder(streamSize.width, streamSize.height);
  encoder.onConfig = [](const VideoConfig&) {};
  encoder.onFrame = [&](const VideoFrameHeader& header, ByteView picture) {
    const auto now = Clock::now();
    std::lock_guard lock(timings.mutex);
    ++timings.frames;
    if (!timings.recording) return;
    timings.bytes += picture.size();
    timings.largestFrame = std::max(timings.largestFrame, picture.size());
    const auto it = timings.inFlight.find(std::int64_t(header.ptsMicros));
    if (it == timings.inFlight.end()) return;
    timings.encode.push_back(milliseconds(now - it->second.handedOver));
    timings.captureToEncoded.push_back(milliseconds(now - it->second.grabStart));
    timings.inFlight.erase(it);
  };
  encoder.start(8'000'000, 60);
  TimedSink sink(encoder, timings);
  ScreenCaptureManager manager(sink);
  manager.start(std::make_unique<TimedStream>(std::move(stream), timings), 60);
  std::this_thread::sleep_for(std::chrono::seconds(1));

  {
    std::lock_guard lock(timings.mutex);
    timings.recording = true;
  }
  const std::uint64_t skippedBefore = encoder.skippedImages();
  const CpuWindow motion = measure(seconds, timings, xvfb);
  const std::uint64_t skipped = encoder.skippedImages() - skippedBefore;
  std::vector<double> grab, convert, encode, latency;
  std::uint64_t bytes = 0;
  std::size_t largest = 0;
  std::uint64_t ticks = 0;
  std::uint64_t idleTicks = 0;
  {
    std::lock_guard lock(timings.mutex);
    timings.recording = false;
    grab = timings.grab;
    convert = timings.convert;
    encode = timings.encode;
    latency = timings.captureToEncoded;
    bytes = timings.bytes;
    largest = timings.largestFrame;
    ticks = timings.ticks;
    idleTicks = timings.idleTicks;
  }

  const double drawnRate = animation.stop();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const CpuWindow still = measure(seconds, timings, xvfb);
  manager.stop();
  encoder.stop();

  Animation again(animator);
  const FfmpegRun ffmpeg = runFfmpeg(seconds, display, screen.width, screen.height, xvfb);
  const double drawnRateAgain = again.stop();

  std::printf("| Full-screen motion, %.0f s | p50 ms | p99 ms |\n|---|---|---|\n", seconds);
  std::printf("| grab (MIT-SHM + cursor) | %.2f | %.2f |\n", percentile(grab, 0.5), percentile(grab, 0.99));
  std::printf("| convert (BGRA to I420) + hand-off | %.2f | %.2f |\n", percentile(convert, 0.5),
              percentile(convert, 0.99));
  std::printf("| encode (mailbox to onFrame) | %.2f | %.2f |\n", percentile(encode, 0.5),
              percentile(encode, 0.99));
  std::printf("| capture-to-encoded | %.2f | %.2f |\n\n", percentile(latency, 0.5),
              percentile(latency, 0.99));

  const double motionFps = double(motion.frames) / seconds;
  const double ffmpegFps = double(ffmpeg.frames) / seconds;
  const auto perFrame = [](double cores, double fps) { return fps > 0 ? cores * 1000 / fps : 0; };
  std::printf("| %.0f s window | animation drew /s | frames/s | CPU (cores) | CPU ms per frame | Xvfb CPU (cores) | notes |\n"
              "|---|---|---|---|---|---|---|\n", seconds);
  std::printf("| pipeline, motion | %.1f | %.1f | %.3f | %.2f | %.3f | %.1f ticks/s, %llu idle; %llu skipped in mailbox; %.2f Mbit/s; largest frame %zu KB |\n",
              drawnRate, motionFps, motion.cores, perFrame(motion.cores, motionFps), motion.xvfbCores,
              double(ticks) / seconds, static_cast<unsigned long long>(idleTicks),
              static_cast<unsigned long long>(skipped), double(bytes) * 8 / seconds / 1e6, largest / 1024);
  std::printf("| pipeline, static screen | 0 | %.1f | %.4f | | %.4f | %llu frames delivered |\n",
              double(still.frames) / seconds, still.cores, still.xvfbCores,
              static_cast<unsigned long long>(still.frames));
  std::printf("| ffmpeg x11grab + libx264 ultrafast, motion | %.1f | %.1f | %.3f | %.2f | %.3f | %ld frames in %.1f s wall |\n",
              drawnRateAgain, ffmpegFps, ffmpeg.cores, perFrame(ffmpeg.cores, ffmpegFps), ffmpeg.xvfbCores,
              ffmpeg.frames, ffmpeg.seconds);
  return 0;
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) { return quorin::run(argc > 1 ? std::atof(argv[1]) : 10.0); }
