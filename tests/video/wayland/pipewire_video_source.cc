#include "video/wayland/pipewire_video_source.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <mutex>

namespace quorin {

namespace {

constexpr int cursorMetaSize(int width, int height) {
  return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

// Holds the loop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// Waits on `loop` (whose lock is held) until `done` or `deadline`.
template <typename Done>
bool waitOn(pw_thread_loop* loop, std::chrono::steady_clock::time_point deadline, Done done) {
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pw_thread_loop_timed_wait(loop, 1);
  }
  return true;
}

}  // namespace

PipeWireVideoSource::PipeWireVideoSource(Options options)
    : options_(options), stride_(options.width * 4 + 32) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  loop_ = pw_thread_loop_new("test-source", nullptr);
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_ || pw_thread_loop_start(loop_) < 0) return;

  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireVideoSource::onStateChanged;
    e.param_changed = &PipeWireVideoSource::onParamChanged;
    return e;
  }();
  LoopLock lock(loop_);
  core_ = pw_context_connect(context_, nullptr, 0);
  if (!core_) return;
  stream_ = pw_stream_new(core_, "quorin-test-source",
                          pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                                            PW_KEY_MEDIA_CATEGORY, "Source", nullptr));
  if (!stream_) return;
  pw_stream_add_listener(stream_, &listener_, &events, this);
  std::uint8_t storage[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  spa_rectangle size{std::uint32_t(options_.width), std::uint32_t(options_.height)};
  spa_fraction rate{0, 1};
  const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
  pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), &format, 1);
}

PipeWireVideoSource::~PipeWireVideoSource() {
  if (loop_) pw_thread_loop_stop(loop_);
  if (stream_) pw_stream_destroy(stream_);
  if (core_) pw_core_disconnect(core_);
  if (context_) pw_context_destroy(context_);
  if (loop_) pw_thread_loop_destroy(loop_);
}

std::uint32_t PipeWireVideoSource::nodeId() const {
  if (!stream_) return 0;
  LoopLock lock(loop_);
  const std::uint32_t id = pw_stream_get_node_id(stream_);
  return id == SPA_ID_INVALID ? 0 : id;
}

bool PipeWireVideoSource::waitFor(bool streaming, std::chrono::steady_clock::time_point deadline) {
  if (!stream_) return false;
  LoopLock lock(loop_);
  waitOn(loop_, deadline, [&] {
    return state_ == PW_STREAM_STATE_ERROR || state_ == PW_STREAM_STATE_STREAMING ||
           (!streaming && state_ == PW_STREAM_STATE_PAUSED);
  });
  return state_ == PW_STREAM_STATE_STREAMING || (!streaming && state_ == PW_STREAM_STATE_PAUSED);
}

bool PipeWireVideoSource::send(const std::function<void(spa_buffer&)>& fill) {
  if (!stream_) return false;
  LoopLock lock(loop_);
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (!buffer) return false;
  fill(*buffer->buffer);
  pw_stream_queue_buffer(stream_, buffer);
  // As the driver, the stream starts the graph's cycle that takes the buffer to the consumer.
  return pw_stream_trigger_process(stream_) >= 0;
}

void PipeWireVideoSource::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
  auto* self = static_cast<PipeWireVideoSource*>(data);
  self->state_ = state;
  pw_thread_loop_signal(self->loop_, false);
}

void PipeWireVideoSource::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* self = static_cast<PipeWireVideoSource*>(data);
  if (id != SPA_PARAM_Format || !param) return;
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(self->stride_ * self->options_.height), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(self->stride_),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1), cursorMetaSize(256, 256))));
  pw_stream_update_params(self->stream_, params, self->options_.cursorMetadata ? 3 : 2);
}

}  // namespace quorin
