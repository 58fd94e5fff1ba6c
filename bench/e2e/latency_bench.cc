// Time from a change on the screen to the decoded picture on the client, for the real host
// and, side by side, for an ffmpeg x11grab + libx264 pipeline over TCP read by the same
// decoder. A probe draws the monotonic clock as a barcode in the top left corner every frame
// while the rest of the screen changes everywhere; the client reads the barcode back from
// each decoded picture. Also reports the CPU each pipeline used, where the host's latency goes
// (its stage log) and the floor of the same run: one grab, conversion, encode and decode of a
// picture of the same screen on an idle pipeline, with the host's own classes and settings.
// Needs an X display at least 960 pixels wide (run_latency_bench.sh makes one).
// Usage: latency_bench [seconds]

#include <X11/Xlib.h>
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/geometry.h"
#include "base/log.h"
#include "client/video_receiver.h"
#include "e2e/x11/screen_painter.h"
#include "latency_bench.h"
#include "protocol/json_codec.h"
#include "video/video_encoder.h"
#include "video/x11/x11_display_stream.h"

using namespace quorin;
using namespace quorin::latency;

namespace {

// Draws the time as black and white cells: row 0 the bits, row 1 their inverse.
void drawBarcode(_XDisplay* display, unsigned long window, unsigned long gcValue) {
  GC gc = reinterpret_cast<GC>(gcValue);
  const std::uint64_t time = nowMicros() & ((1ull << kBits) - 1);
  for (int row = 0; row < kRows; ++row) {
    for (int bit = 0; bit < kBits; ++bit) {
      const bool one = barcodeCellWhite(time, row, bit);
      XSetForeground(display, gc, one ? 0xFFFFFF : 0x000000);
      XFillRectangle(display, window, gc, bit * kCell, row * kCell, kCell, kCell);
    }
  }
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

// One picture at a time through the host's X11 stream, VideoEncoder (the host's settings and
// stream size) and the client's VideoReceiver, each waiting for the one before: the cost of
// the work alone.
StageFloor measureFloor() {
  constexpr int kWarmUp = 10;  // the key frame and the encoder's first pictures
  constexpr int kPictures = 60;
  CaptureError error;
  auto stream = x11::openDisplayStream("", "", error);
  if (!stream) return {};
  const BgraImage* first = stream->grab(true);
  if (!first) return {};
  // At the size the host streams: a screen larger than 1920x1080 is scaled down to it.
  const PictureSize streamed = streamSizeFor({first->width, first->height}, {1920, 1080});
  VideoEncoder encoder(streamed.width, streamed.height);
  VideoReceiver receiver;
  std::mutex mutex;
  std::condition_variable done;
  std::optional<Bytes> frame;
  Clock::time_point encodedAt;
  encoder.onConfig = [&](const VideoConfig& config) {
    if (auto text = json::encodeJson(config)) receiver.handleConfig(bytesOf(*text));
  };
  encoder.onFrame = [&](const VideoFrameHeader& header, ByteView picture) {
    std::lock_guard lock(mutex);
    encodedAt = Clock::now();
    frame = videoFramePayload(header, picture);
    done.notify_one();
  };
  Clock::time_point decodedAt;
  receiver.onPicture = [&](const DecodedFrame& decoded) { decodedAt = decoded.decodedAt; };
  encoder.start();

  std::vector<double> grab, convert, encode, decode;
  const auto millis = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  for (int i = 0; i < kWarmUp + kPictures; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the painter draws meanwhile
    const auto grabStart = Clock::now();
    const BgraImage* image = stream->grab(true);
    const auto grabbed = Clock::now();
    if (!image) continue;
    encoder.encode(*image, std::chrono::milliseconds(20 * i), {});
    const auto converted = Clock::now();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return frame.has_value(); });
    const Bytes payload = std::move(*std::exchange(frame, std::nullopt));
    const auto encoded = encodedAt;
    lock.unlock();
    const auto received = Clock::now();
    receiver.handleFrame(payload, received);
    if (i < kWarmUp) continue;
    grab.push_back(millis(grabbed - grabStart));
    convert.push_back(millis(converted - grabbed));
    encode.push_back(millis(encoded - converted));
    decode.push_back(millis(decodedAt - received));
  }
  encoder.stop();
  const auto median = [](std::vector<double>& values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  };
  return {{"grabStart -> grabbed", median(grab)},
          {"grabbed -> converted", median(convert)},
          {"encodeStart -> encodeEnd", median(encode)},
          {"received -> decoded", median(decode)}};
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
  const StageFloor floor = measureFloor();
  const std::vector<Result> results = {measureHost("quorin-remote-host", seconds, {}, painter.width()), measureFfmpeg(seconds, size)};
  painter.stopAnimation();

  printResults(size, results, floor);
  if (results[1].p50 > 0) {
    double sum = 0;
    for (const auto& [interval, millis] : floor) sum += millis;
    std::printf("\nhost p50 / ffmpeg p50: %.2f; host p50 - floor (%.1f ms): %.1f ms\n", results[0].p50 / results[1].p50,
                sum, results[0].p50 - sum);
  }
  return 0;
}
