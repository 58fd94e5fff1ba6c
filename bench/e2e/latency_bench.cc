// Time from a change on the screen to the decoded picture on the client, for the real host
// and, side by side, for an ffmpeg x11grab + libx264 pipeline over TCP read by the same
// decoder. A probe draws the monotonic clock as a barcode in the top left corner every frame
// while the rest of the screen changes everywhere; the client reads the barcode back from
// each decoded picture. Also reports the CPU each pipeline used.
// Needs an X display at least 960 pixels wide (run_latency_bench.sh makes one).
// Usage: latency_bench [seconds]

#include <X11/Xlib.h>
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <atomic>
#include <sstream>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/command_output.h"
#include "base/log.h"
#include "client/h264_decoder.h"
#include "client/stream_client.h"
#include "e2e/x11/screen_painter.h"
#include "fakes/child_process.h"
#include "identity/pairing_payload.h"

using namespace quorin;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBits = 40;     // microseconds of the monotonic clock, modulo 2^40 (12 days)
constexpr int kCell = 24;     // pixels per bit, square
constexpr int kRows = 2;      // the bits, then the same bits inverted as a check

std::uint64_t nowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// Draws the time as black and white cells: row 0 the bits, row 1 their inverse.
void drawBarcode(_XDisplay* display, unsigned long window, unsigned long gcValue) {
  GC gc = reinterpret_cast<GC>(gcValue);
  const std::uint64_t time = nowMicros() & ((1ull << kBits) - 1);
  for (int row = 0; row < kRows; ++row) {
    for (int bit = 0; bit < kBits; ++bit) {
      const bool one = ((time >> (kBits - 1 - bit)) & 1) != (row == 1);
      XSetForeground(display, gc, one ? 0xFFFFFF : 0x000000);
      XFillRectangle(display, window, gc, bit * kCell, row * kCell, kCell, kCell);
    }
  }
}

// The time in a decoded picture, when both rows agree.
std::optional<std::uint64_t> readBarcode(const Picture& picture) {
  if (picture.empty() || picture.width() < kBits * kCell) return std::nullopt;
  const std::uint8_t* luma = picture.plane(0);
  const int stride = picture.stride(0);
  auto bright = [&](int bit, int row) {
    return luma[(row * kCell + kCell / 2) * stride + bit * kCell + kCell / 2] > 128;
  };
  std::uint64_t time = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    const bool one = bright(bit, 0);
    if (one == bright(bit, 1)) return std::nullopt;
    time = (time << 1) | (one ? 1 : 0);
  }
  return time;
}

struct Latencies {
  std::mutex mutex;
  std::vector<double> millis;
  int unreadable = 0;

  void add(const Picture& picture, Clock::time_point decodedAt) {
    const auto drawn = readBarcode(picture);
    std::lock_guard lock(mutex);
    if (!drawn) {
      ++unreadable;
      return;
    }
    const std::uint64_t decoded =
        std::chrono::duration_cast<std::chrono::microseconds>(decodedAt.time_since_epoch()).count() &
        ((1ull << kBits) - 1);
    millis.push_back(double(decoded - *drawn) / 1000.0);
  }
  double percentile(double p) {
    std::lock_guard lock(mutex);
    if (millis.empty()) return 0;
    std::vector<double> sorted = millis;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, std::size_t(p * sorted.size()))];
  }
};

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

struct Result {
  std::string name;
  double p50 = 0, p99 = 0, cores = 0, fps = 0;
  std::size_t samples = 0;
  int unreadable = 0;
};

// Lets a pipeline settle past its first key frame, then measures it for `seconds`: the CPU
// of `pid`, the frames counted by `frames`, the latencies collected while `measuring`.
template <class FrameCount>
void measureWindow(double seconds, pid_t pid, FrameCount frames, std::atomic<bool>& measuring,
                   Latencies& latencies, Result& result) {
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpuBefore = cpuSeconds(pid);
  const auto framesBefore = frames();
  measuring = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  measuring = false;
  result.cores = (cpuSeconds(pid) - cpuBefore) / seconds;
  result.fps = double(frames() - framesBefore) / seconds;
  result.p50 = latencies.percentile(0.5);
  result.p99 = latencies.percentile(0.99);
  result.samples = latencies.millis.size();
  result.unreadable = latencies.unreadable;
}

Result measureHost(double seconds) {
  Result result{"quorin-remote-host"};
  ChildProcess host({QUORIN_HOST_BINARY, "--headless"});
  if (!host.waitForLine("Advertising")) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.output().c_str());
    return result;
  }
  const auto payload = PairingPayload::decode(commandOutput(std::string(QUORIN_HOST_BINARY) + " --pairing-text 2>/dev/null"));
  if (!payload) return result;

  Latencies latencies;
  std::atomic<bool> measuring{false};
  StreamClient client({.host = "127.0.0.1", .key = payload->key});
  client.onPicture = [&](const DecodedFrame& frame) {
    if (measuring) latencies.add(frame.picture, frame.decodedAt);
  };
  client.start();
  measureWindow(seconds, host.pid(), [&] { return client.framesReceived(); }, measuring, latencies, result);
  client.stop();
  return result;
}

// ffmpeg grabs the same screen and writes a raw H.264 stream into our TCP socket; the access
// units are cut with libavcodec's parser and decoded by the client's decoder.
Result measureFfmpeg(double seconds, const std::string& size) {
  Result result{"ffmpeg x11grab + libx264 ultrafast"};
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(acceptor.local_endpoint().port());
  const char* display = std::getenv("DISPLAY");
  ChildProcess ffmpeg({"/usr/bin/ffmpeg", "-loglevel", "error", "-f", "x11grab", "-framerate", "60",
                       "-video_size", size, "-i", display ? display : ":0", "-pix_fmt", "yuv420p",
                       "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0",
                       "-g", "120", "-b:v", "8M", "-f", "h264", "tcp://127.0.0.1:" + port});
  asio::ip::tcp::socket socket(io);
  acceptor.accept(socket);

  Latencies latencies;
  std::atomic<bool> measuring{false};
  std::atomic<int> frames{0};
  std::thread reader([&] {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* parsing = avcodec_alloc_context3(codec);
    H264Decoder decoder;
    std::vector<std::uint8_t> buffer(1 << 16);
    std::error_code ec;
    for (;;) {
      const std::size_t n = socket.read_some(asio::buffer(buffer), ec);
      if (ec) break;
      const std::uint8_t* data = buffer.data();
      int left = static_cast<int>(n);
      while (left > 0) {
        std::uint8_t* unit = nullptr;
        int unitSize = 0;
        const int used = av_parser_parse2(parser, parsing, &unit, &unitSize, data, left,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        data += used;
        left -= used;
        if (unitSize == 0) continue;
        decoder.decode(ByteView(unit, unitSize), [&](Picture picture) {
          ++frames;
          if (measuring) latencies.add(picture, Clock::now());
        });
      }
    }
    av_parser_close(parser);
    avcodec_free_context(&parsing);
  });
  measureWindow(seconds, ffmpeg.pid(), [&] { return frames.load(); }, measuring, latencies, result);
  ffmpeg.terminate();
  reader.join();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  setLogSink([](const std::string&) {});
  ScreenPainter painter;
  if (!painter.ready() || painter.width() < kBits * kCell) {
    std::fprintf(stderr, "latency_bench needs an X display at least %d pixels wide (run_latency_bench.sh)\n",
                 kBits * kCell);
    return 1;
  }
  const std::string size = std::to_string(painter.width()) + "x" + std::to_string(painter.height());
  painter.startAnimation(60, drawBarcode);
  const Result results[] = {measureHost(seconds), measureFfmpeg(seconds, size)};
  painter.stopAnimation();

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("| pipeline, %s, full-screen motion, load %.2f | p50 | p99 | frames/s | CPU (cores) | samples |\n",
              size.c_str(), load[0]);
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& r : results) {
    std::printf("| %s | %.1f ms | %.1f ms | %.1f | %.2f | %zu (+%d unreadable) |\n", r.name.c_str(), r.p50,
                r.p99, r.fps, r.cores, r.samples, r.unreadable);
  }
  return 0;
}
