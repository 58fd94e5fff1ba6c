#pragma once
// Where a picture's latency goes: the host's stage log (QUORIN_STAGE_LOG, base/stage_log.h)
// joined by presentation time with what the client saw of the same picture (the barcode's
// drawing time, when the frame was read off the stream, when it was decoded). All times are
// steady_clock, which is CLOCK_MONOTONIC in both processes.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorin::latency {

// The host's stages in the order a picture passes them; a picture with any of them missing (a
// refinement, never grabbed; a picture replaced in the mailbox, never encoded) is left out.
inline constexpr std::array<const char*, 7> kHostStages = {
    "noticed", "grabStart", "grabbed", "converted", "encodeStart", "encodeEnd", "written"};

// One decoded picture as the client saw it.
struct ClientTimes {
  std::uint64_t pts = 0;
  std::int64_t drawnNs = 0, receivedNs = 0, decodedNs = 0;
};

struct StageBreakdown {
  // "drawn -> noticed" ... "received -> decoded", then "drawn -> decoded"; medians in ms.
  std::vector<std::pair<std::string, double>> intervals;
  std::size_t pictures = 0;  // with every stage known
};

// What one grab, conversion, encode and decode of a picture cost on an idle pipeline, in the
// same run, by the interval of StageBreakdown that does the same work (ms).
using StageFloor = std::map<std::string, double>;

// A markdown table: each interval's median beside its floor, and the floor's sum beside the
// whole.
inline void printBreakdown(const std::string& name, const StageBreakdown& stages, const StageFloor& floor) {
  std::printf("| %s, %zu pictures | median | same-run floor |\n|---|---|---|\n", name.c_str(), stages.pictures);
  double floorSum = 0;
  for (const auto& [interval, millis] : stages.intervals) {
    const bool whole = &interval == &stages.intervals.back().first;
    const auto known = floor.find(interval);
    if (known != floor.end()) floorSum += known->second;
    if (known != floor.end() || (whole && !floor.empty())) {
      std::printf("| %s | %.2f ms | %.2f ms |\n", interval.c_str(), millis, whole ? floorSum : known->second);
    } else {
      std::printf("| %s | %.2f ms | |\n", interval.c_str(), millis);
    }
  }
}

class StageTimeline {
 public:
  void add(const ClientTimes& times) {
    std::lock_guard lock(mutex_);
    client_.push_back(times);
  }

  // Joins the client's pictures with the host's stage log at `path`.
  StageBreakdown breakdown(const std::string& path) {
    using Stages = std::array<std::int64_t, kHostStages.size()>;
    std::map<std::uint64_t, Stages> host;
    std::ifstream log(path);
    std::string stage;
    std::uint64_t pts = 0;
    std::int64_t ns = 0;
    while (log >> stage >> pts >> ns) {
      const auto known = std::find(kHostStages.begin(), kHostStages.end(), stage);
      if (known == kHostStages.end()) continue;
      auto [entry, fresh] = host.try_emplace(pts);
      if (fresh) entry->second.fill(-1);
      entry->second[std::size_t(known - kHostStages.begin())] = ns;
    }

    std::vector<std::string> names{std::string("drawn -> ") + kHostStages.front()};
    for (std::size_t i = 1; i < kHostStages.size(); ++i) {
      names.push_back(std::string(kHostStages[i - 1]) + " -> " + kHostStages[i]);
    }
    names.push_back(std::string(kHostStages.back()) + " -> received");
    names.push_back("received -> decoded");
    names.push_back("drawn -> decoded");
    std::vector<std::vector<double>> samples(names.size());
    std::lock_guard lock(mutex_);
    StageBreakdown result;
    for (const ClientTimes& picture : client_) {
      const auto found = host.find(picture.pts);
      if (found == host.end() || std::count(found->second.begin(), found->second.end(), -1) > 0) continue;
      std::vector<std::int64_t> times{picture.drawnNs};
      times.insert(times.end(), found->second.begin(), found->second.end());
      times.push_back(picture.receivedNs);
      times.push_back(picture.decodedNs);
      for (std::size_t i = 1; i < times.size(); ++i) samples[i - 1].push_back(double(times[i] - times[i - 1]) / 1e6);
      samples.back().push_back(double(picture.decodedNs - picture.drawnNs) / 1e6);
      ++result.pictures;
    }
    for (std::size_t i = 0; i < names.size(); ++i) result.intervals.emplace_back(names[i], median(samples[i]));
    return result;
  }

 private:
  static double median(std::vector<double>& values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  }

  std::mutex mutex_;
  std::vector<ClientTimes> client_;
};

}  // namespace quorin::latency
