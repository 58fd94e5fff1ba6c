#pragma once
// What the screen-to-picture latency benchmarks share: a probe draws the monotonic clock as a
// barcode (e2e/probe_clock.h), the client reads it back from each decoded picture.
// measureHost() runs the real host (QUORIN_HOST_BINARY) and decodes its stream.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/command_output.h"
#include "client/h264_decoder.h"
#include "client/stream_client.h"
#include "e2e/probe_clock.h"
#include "e2e/stage_breakdown.h"
#include "fakes/child_process.h"
#include "identity/pairing_payload.h"

namespace quorin::latency {

// The time in a decoded picture, when both rows agree. `scale` is the picture's size against
// the screen's (a host streams a large screen scaled down).
inline std::optional<std::uint64_t> readBarcode(const Picture& picture, double scale = 1) {
  const double cell = kCell * scale;
  if (picture.empty() || picture.width() < kBits * cell) return std::nullopt;
  const std::uint8_t* luma = picture.plane(0);
  const int stride = picture.stride(0);
  auto bright = [&](int bit, int row) {
    return luma[int((row + 0.5) * cell) * stride + int((bit + 0.5) * cell)] > 128;
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
  int screenWidth = 0;  // of the screen the pictures show; 0: the pictures' own

  // Returns when the picture was drawn (steady_clock microseconds), when its barcode reads.
  std::optional<std::int64_t> add(const Picture& picture, Clock::time_point decodedAt) {
    const auto drawn = readBarcode(picture, screenWidth > 0 ? double(picture.width()) / screenWidth : 1.0);
    std::lock_guard lock(mutex);
    if (!drawn) {
      ++unreadable;
      return std::nullopt;
    }
    const std::int64_t decoded =
        std::chrono::duration_cast<std::chrono::microseconds>(decodedAt.time_since_epoch()).count();
    const std::uint64_t age = (std::uint64_t(decoded) - *drawn) & ((1ull << kBits) - 1);
    millis.push_back(double(age) / 1000.0);
    return decoded - std::int64_t(age);
  }
  double percentile(double p) {
    std::lock_guard lock(mutex);
    if (millis.empty()) return 0;
    std::vector<double> sorted = millis;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, std::size_t(p * sorted.size()))];
  }
};

struct Result {
  std::string name;
  double p50 = 0, p99 = 0, cores = 0, fps = 0;
  std::size_t samples = 0;
  int unreadable = 0;
  std::optional<StageBreakdown> stages{};  // the host's, from its stage log
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

// `environment` entries are added to the host's; `screenWidth` is the width of the screen
// it streams (0: as wide as its stream).
inline Result measureHost(const std::string& name, double seconds, std::vector<std::string> environment = {},
                          int screenWidth = 0) {
  Result result{name};
  char stageLog[] = "/tmp/quorin-stages.XXXXXX";
  const int stageFd = mkstemp(stageLog);
  if (stageFd >= 0) {
    close(stageFd);
    environment.push_back(std::string("QUORIN_STAGE_LOG=") + stageLog);
  }
  ChildProcess host({QUORIN_HOST_BINARY, "--headless"}, environment);
  if (!host.waitForLine("Advertising")) {
    std::fprintf(stderr, "the host did not start:\n%s\n", host.output().c_str());
    return result;
  }
  const auto payload = PairingPayload::decode(commandOutput(std::string(QUORIN_HOST_BINARY) + " --pairing-text 2>/dev/null"));
  if (!payload) return result;

  Latencies latencies;
  latencies.screenWidth = screenWidth;
  std::atomic<bool> measuring{false};
  StreamClient client({.host = "127.0.0.1", .key = payload->key});
  StageTimeline timeline;
  client.onPicture = [&](const DecodedFrame& frame) {
    if (!measuring) return;
    if (const auto drawn = latencies.add(frame.picture, frame.decodedAt)) {
      const auto ns = [](Clock::time_point at) {
        return std::int64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
      };
      timeline.add({frame.header.ptsMicros, *drawn * 1000, ns(frame.receivedAt), ns(frame.decodedAt)});
    }
  };
  client.start();
  measureWindow(seconds, host.pid(), [&] { return client.framesReceived(); }, measuring, latencies, result);
  client.stop();
  if (stageFd >= 0) {
    result.stages = timeline.breakdown(stageLog);
    unlink(stageLog);
  }
  return result;
}

// The latency table, then each host's stage breakdown beside `floor`.
inline void printResults(const std::string& size, const std::vector<Result>& results, const StageFloor& floor = {}) {
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("| pipeline, %s, full-screen motion, load %.2f | p50 | p99 | frames/s | CPU (cores) | samples |\n",
              size.c_str(), load[0]);
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& r : results) {
    std::printf("| %s | %.1f ms | %.1f ms | %.1f | %.2f | %zu (+%d unreadable) |\n", r.name.c_str(), r.p50,
                r.p99, r.fps, r.cores, r.samples, r.unreadable);
  }
  for (const auto& r : results) {
    if (!r.stages) continue;
    std::printf("\n");
    printBreakdown(r.name, *r.stages, floor);
  }
}

}  // namespace quorin::latency
