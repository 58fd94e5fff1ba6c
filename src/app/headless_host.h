#pragma once
// The host without a user interface: the same HostServer on a plain event loop, one line on
// stdout per state change, a clean stop on SIGINT or SIGTERM. Thread: runs on the calling
// thread, which becomes the main thread.

namespace quorin {

// Serves until a signal arrives; the exit status: 0 after a stop, 1 when the host could not
// start listening. A signal counts at any moment, start-up included; when the start-up or the
// stop holds on to something outside for more than a moment, the process ends anyway, with 0.
// Call before any other thread exists, so the signals stay blocked in every thread but the
// one that waits for them.
int runHeadlessHost();

}  // namespace quorin
