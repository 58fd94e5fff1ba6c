#pragma once
// A video source node of the test's own on the user's PipeWire daemon, sending what a
// compositor's screen cast sends: BGRA pictures in shared memory with header and, when asked,
// cursor metadata. It drives its graph: each send() is one buffer, written by the caller.
// Tests only; any thread, one at a time.

#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace quorin {

class PipeWireVideoSource {
 public:
  struct Options {
    int width = 0;
    int height = 0;
    bool cursorMetadata = true;
  };

  explicit PipeWireVideoSource(Options options);
  ~PipeWireVideoSource();
  PipeWireVideoSource(const PipeWireVideoSource&) = delete;
  PipeWireVideoSource& operator=(const PipeWireVideoSource&) = delete;

  // The node a consumer connects to; 0 until the node is up (see waitFor).
  std::uint32_t nodeId() const;
  // Bytes per row of the pictures (wider than the picture, as producers' often are).
  int stride() const { return stride_; }
  // Waits until the node is up (`streaming` false) or a consumer is linked and the buffers
  // are agreed (`streaming` true); false when the stream failed or `deadline` passed.
  bool waitFor(bool streaming, std::chrono::steady_clock::time_point deadline);
  // Sends one buffer, which `fill` writes (metadata and chunk too); false when no buffer was
  // free.
  bool send(const std::function<void(spa_buffer&)>& fill);

 private:
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);

  Options options_;
  int stride_ = 0;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  // Under the loop's lock.
  pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
};

}  // namespace quorin
