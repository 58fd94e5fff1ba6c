// Time from a change on a Wayland desktop to the decoded picture on the client, with the frames
// per second and the host's CPU, for the host capturing through the route it chooses there:
// wlr-screencopy on sway, mutter's remote desktop service on GNOME (named in the table by
// $QUORIN_BENCH_ROUTE). A full-screen window (WaylandScreenProbe) repaints at the output's rate,
// the monotonic clock as a barcode in its top left corner. Run beside the compositor
// (WAYLAND_DISPLAY set, its services on the session bus): run_wayland_latency_bench.sh starts it
// all, run_mutter_latency_bench.sh the same on mutter.
// Usage: wayland_latency_bench [seconds [pid...]]: also reports the CPU the processes `pid`
// (the compositor, the portal, PipeWire) used while the host ran.

#include <cstdio>
#include <string>

#include "base/log.h"
#include "e2e/latency_bench.h"
#include "wayland/wayland_screen_probe.h"

using namespace quorin;
using namespace quorin::latency;

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  setLogSink([](const std::string&) {});
  WaylandScreenProbe probe;
  if (!probe.ready()) {
    std::fprintf(stderr, "wayland_latency_bench needs a Wayland compositor on $WAYLAND_DISPLAY with an output "
                         "at least %d pixels wide (run_wayland_latency_bench.sh)\n", kBits * kCell);
    return 1;
  }
  const std::string size = std::to_string(probe.width()) + "x" + std::to_string(probe.height());
  std::vector<pid_t> stack;
  for (int i = 2; i < argc; ++i) stack.push_back(std::stoi(argv[i]));
  const auto stackCpu = [&] {
    double total = 0;
    for (pid_t pid : stack) total += cpuSeconds(pid);
    return total;
  };
  const int committedBefore = probe.framesCommitted();
  const double stackBefore = stackCpu();
  const auto start = Clock::now();
  const char* route = std::getenv("QUORIN_BENCH_ROUTE");
  Result host = measureHost(std::string("quorin-remote-host, ") + (route ? route : "wlroots screencopy"), seconds,
                            {"QUORIN_BACKEND=wayland"});
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  printResults(size, {host});
  std::printf("(the probe committed %.1f frames/s; the desktop stack used %.2f cores)\n",
              (probe.framesCommitted() - committedBefore) / elapsed, (stackCpu() - stackBefore) / elapsed);
  return 0;
}
