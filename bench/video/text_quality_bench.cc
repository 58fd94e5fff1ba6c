// How sharp, and how cheap, a screen of text arrives: black monospaced text on white, painted
// here with Xft, streamed by the real host (QUORIN_HOST_BINARY) to an in-process decoder.
// Modes:
//   pages [n]  n pages of code-like text. For each: the luma PSNR of the latest decoded
//              picture against the screen 0.1 s, 0.5 s and 1 s after the change, the bytes of
//              the change's first frame and of everything after it, the frames sent, and the
//              frames sent more than 1 s after the change.
//   dense [n]  the same for pages of small text, up to 230 columns by 75 lines.
//   typed [n]  a dense page, then a word typed into it n times, 1.2 s apart: the PSNR of the
//              word's area 0.1, 0.5 and 1 s after it appeared, against the settled page's,
//              and whether the word came in a key frame (every other word does: the host
//              sends one at least every 2 s while the screen changes).
//   caret [s]  a white screen with a 10x20 caret blinking twice a second for s seconds: the
//              host's CPU (cores), the pictures per second it sent and their bit rate.
//   caret-code [s], caret-dense [s]  the same caret over a page of code, or over a dense page
//              of text as in a full-screen terminal.
// Needs DISPLAY (an Xvfb; run_text_quality_bench.sh starts one) and the host's port free.
// Usage: text_quality_bench [mode] [count]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <tuple>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/command_output.h"
#include "base/geometry.h"
#include "base/log.h"
#include "client/stream_client.h"
#include "fakes/child_process.h"
#include "identity/pairing_payload.h"
#include "text_screen.h"

namespace quorin {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kAfterChange = 3s;  // how long each page is watched
constexpr auto kBetweenWords = 1200ms;
constexpr std::chrono::milliseconds kCheckpoints[] = {100ms, 500ms, 1000ms};

// Whether an Annex B access unit holds an IDR slice.
bool hasKeyFrame(ByteView unit) {
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 && (unit[i + 3] & 0x1F) == 5) return true;
  }
  return false;
}

// What the client received: the frames with their arrival times, and the picture it shows.
struct Received {
  std::mutex mutex;
  struct Frame {
    Clock::time_point at;
    std::size_t bytes = 0;
    bool key = false;
  };
  std::vector<Frame> frames;
  Picture shown;

  Picture shownNow() {
    std::lock_guard lock(mutex);
    return shown;
  }
  void clear() {
    std::lock_guard lock(mutex);
    frames.clear();
  }
};

// User and system CPU seconds of a process so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The real host and a client of it, connected.
class Session {
 public:
  bool start() {
    if (!host_.waitForLine("Advertising")) {
      std::fprintf(stderr, "the host did not start:\n%s\n", host_.output().c_str());
      return false;
    }
    const auto payload =
        PairingPayload::decode(commandOutput(std::string(QUORIN_HOST_BINARY) + " --pairing-text 2>/dev/null"));
    if (!payload) return false;
    client_.emplace(StreamClient::Options{.host = "127.0.0.1", .key = payload->key});
    client_->onAccessUnit = [this](ByteView unit) {
      std::lock_guard lock(received.mutex);
      received.frames.push_back({Clock::now(), unit.size(), hasKeyFrame(unit)});
    };
    client_->onPicture = [this](const DecodedFrame& frame) {
      std::lock_guard lock(received.mutex);
      received.shown = frame.picture;
    };
    client_->start();
    std::this_thread::sleep_for(kAfterChange);  // the first picture and whatever follows it
    return true;
  }
  ~Session() {
    if (client_) client_->stop();
  }
  pid_t hostPid() const { return host_.pid(); }

  Received received;

 private:
  ChildProcess host_{{QUORIN_HOST_BINARY, "--headless"}};
  std::optional<StreamClient> client_;
};

double load() {
  double averages[3] = {0, 0, 0};
  getloadavg(averages, 3);
  return averages[0];
}

// Pages of text: each watched for kAfterChange.
int runPages(int pages, bool dense) {
  TextScreen screen(dense ? 14 : 15);
  if (!screen.ready()) return 1;
  screen.show(0, dense);
  Session session;
  if (!session.start()) return 1;
  Received& received = session.received;
  const ScreenRect all{0, 0, screen.width(), screen.height()};
  std::printf("| %s page, %dx%d, load %.2f | PSNR 0.1 s | 0.5 s | 1 s | first frame | after it | frames | after 1 s |\n",
              dense ? "dense" : "code", screen.width(), screen.height(), load());
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (int page = 1; page <= pages; ++page) {
    received.clear();
    const auto luma = screen.show(page, dense);
    const auto changed = Clock::now();
    std::vector<Picture> shown;
    for (const auto checkpoint : kCheckpoints) {
      std::this_thread::sleep_until(changed + checkpoint);
      shown.push_back(received.shownNow());
    }
    std::this_thread::sleep_until(changed + kAfterChange);
    std::printf("| %d |", page);
    for (const Picture& picture : shown) {
      std::printf(" %.1f dB |", psnr(picture, luma, screen.width(), screen.height(), all));
    }
    std::lock_guard lock(received.mutex);
    std::size_t first = 0, rest = 0, late = 0;
    for (std::size_t i = 0; i < received.frames.size(); ++i) {
      const auto& frame = received.frames[i];
      (i == 0 ? first : rest) += frame.bytes;
      if (frame.at > changed + kCheckpoints[2]) ++late;
    }
    std::printf(" %.1f KB | %.1f KB | %zu | %zu |\n", first / 1000.0, rest / 1000.0, received.frames.size(), late);
  }
  return 0;
}

// A dense page, then words typed into it, each watched until the next.
int runTyped(int words) {
  TextScreen screen(14);
  if (!screen.ready()) return 1;
  auto luma = screen.show(1, true);
  Session session;
  if (!session.start()) return 1;
  Received& received = session.received;
  const ScreenRect all{0, 0, screen.width(), screen.height()};
  const double page = psnr(received.shownNow(), luma, screen.width(), screen.height(), all);
  std::printf("| word typed into a dense page (%.1f dB settled), %dx%d, load %.2f | word PSNR 0.1 s | 0.5 s | 1 s | "
              "page at 1 s | key frame | frames | after 1 s |\n",
              page, screen.width(), screen.height(), load());
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (int word = 1; word <= words; ++word) {
    received.clear();
    ScreenRect area;
    std::tie(luma, area) = screen.type("refinement_" + std::to_string(word), 10 + 7 * word);
    const auto changed = Clock::now();
    std::printf("| %d |", word);
    Picture last;
    for (const auto checkpoint : kCheckpoints) {
      std::this_thread::sleep_until(changed + checkpoint);
      last = received.shownNow();
      std::printf(" %.1f dB |", psnr(last, luma, screen.width(), screen.height(), area));
    }
    std::printf(" %.1f dB |", psnr(last, luma, screen.width(), screen.height(), all));
    std::this_thread::sleep_until(changed + kBetweenWords);
    std::lock_guard lock(received.mutex);
    const auto late = std::count_if(received.frames.begin(), received.frames.end(),
                                    [&](const auto& frame) { return frame.at > changed + kCheckpoints[2]; });
    const bool key = !received.frames.empty() && received.frames.front().key;
    std::printf(" %s | %zu | %td |\n", key ? "yes" : "no", received.frames.size(), late);
  }
  return 0;
}

// A caret blinking twice a second over `background`: white, code or dense.
int runCaret(int seconds, const std::string& background) {
  const bool dense = background == "dense";
  TextScreen screen(dense ? 14 : 15);
  if (!screen.ready()) return 1;
  if (background == "white") {
    screen.blank();
  } else {
    screen.show(dense ? 1 : 0, dense);
  }
  screen.caret(false);
  Session session;
  if (!session.start()) return 1;
  session.received.clear();
  const double cpuBefore = cpuSeconds(session.hostPid());
  const auto start = Clock::now();
  for (int toggle = 0; toggle < 2 * seconds; ++toggle) {
    screen.caret(toggle % 2 == 0);
    std::this_thread::sleep_until(start + (toggle + 1) * 500ms);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cores = (cpuSeconds(session.hostPid()) - cpuBefore) / wall;
  std::size_t bytes = 0, pictures = 0;
  {
    std::lock_guard lock(session.received.mutex);
    for (const auto& frame : session.received.frames) bytes += frame.bytes;
    pictures = session.received.frames.size();
  }
  std::printf("| caret 10x20, 2 toggles/s, %s, %dx%d, %d s, load %.2f | host cores | pictures/s | kbit/s |\n"
              "|---|---|---|---|\n",
              background == "white" ? "white screen" : dense ? "over a dense page" : "over a page of code",
              screen.width(), screen.height(), seconds, load());
  std::printf("| | %.3f | %.1f | %.0f |\n", cores, double(pictures) / wall, bytes * 8 / wall / 1000);
  return 0;
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) {
  quorin::setLogSink([](const std::string&) {});
  const std::string mode = argc > 1 ? argv[1] : "pages";
  const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 0;
  if (mode == "pages" || mode == "dense") return quorin::runPages(count ? count : 4, mode == "dense");
  if (mode == "typed") return quorin::runTyped(count ? count : 4);
  if (mode == "caret") return quorin::runCaret(count ? count : 10, "white");
  if (mode == "caret-code" || mode == "caret-dense") return quorin::runCaret(count ? count : 10, mode.substr(6));
  std::fprintf(stderr, "usage: text_quality_bench [pages|dense|typed|caret|caret-code|caret-dense] [count]\n");
  return 2;
}
