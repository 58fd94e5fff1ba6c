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

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "e2e/x11/screen_painter.h"
#include "latency_bench.h"

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
  const std::vector<Result> results = {measureHost("quorin-remote-host", seconds, {}, painter.width()), measureFfmpeg(seconds, size)};
  painter.stopAnimation();

  printResults(size, results);
  return 0;
}
