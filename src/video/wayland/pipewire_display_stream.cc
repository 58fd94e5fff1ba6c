#include "video/wayland/pipewire_display_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "base/log.h"
#include "video/capture_error.h"

namespace quorin {

namespace {

// The size of cursor metadata with room for a width x height 32-bit bitmap.
constexpr int cursorMetaSize(int width, int height) {
  return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

// Where a hidden pointer is drawn: far outside every picture, so nothing of it shows.
constexpr int kPointerHidden = -1'000'000;

// The byte of each channel in a 32-bit pointer bitmap pixel; alpha < 0 for opaque formats.
struct ChannelOrder {
  int alpha = -1;
  int red = 0;
  int green = 0;
  int blue = 0;
};

std::optional<ChannelOrder> channelOrder(std::uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRA: return ChannelOrder{3, 2, 1, 0};
    case SPA_VIDEO_FORMAT_RGBA: return ChannelOrder{3, 0, 1, 2};
    case SPA_VIDEO_FORMAT_ARGB: return ChannelOrder{0, 1, 2, 3};
    case SPA_VIDEO_FORMAT_ABGR: return ChannelOrder{0, 3, 2, 1};
    case SPA_VIDEO_FORMAT_BGRx: return ChannelOrder{-1, 2, 1, 0};
    case SPA_VIDEO_FORMAT_RGBx: return ChannelOrder{-1, 0, 1, 2};
    case SPA_VIDEO_FORMAT_xRGB: return ChannelOrder{-1, 1, 2, 3};
    case SPA_VIDEO_FORMAT_xBGR: return ChannelOrder{-1, 3, 2, 1};
    default: return std::nullopt;
  }
}

// Whether the first plane of `buffer` holds a picture: KWin sends pointer-only updates as
// empty buffers flagged corrupted.
bool carriesPicture(const spa_buffer& buffer) {
  const auto* header = static_cast<const spa_meta_header*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
  if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return false;
  if (buffer.n_datas < 1) return false;
  const spa_chunk* chunk = buffer.datas[0].chunk;
  return chunk && chunk->size > 0 && !(chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
}

}  // namespace

struct PipeWireDisplayStream::PipeWire {
  PipeWireDisplayStream* owner = nullptr;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook coreListener{};
  spa_hook streamListener{};
  spa_video_info_raw format{};
  Picture filling;  // the PipeWire thread's copy in progress
  bool reportedUnmappable = false;
  // The pointer as the metadata read so far left it; the hotspot comes only with a bitmap.
  Pointer pointer;
  int hotX = 0;
  int hotY = 0;
  bool reportedBadBitmap = false;

  ~PipeWire() {
    if (loop) pw_thread_loop_stop(loop);
    // Our own disconnection is no failure to report.
    if (stream) spa_hook_remove(&streamListener);
    if (core) spa_hook_remove(&coreListener);
    if (stream) pw_stream_destroy(stream);
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
  }

  static void onCoreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
    if (id != PW_ID_CORE) return;
    logLine("PipeWire connection failed: " + std::string(message ? message : "") + " (" +
            std::strerror(-res) + ")");
    static_cast<PipeWire*>(data)->owner->fail(sharingEndedError());
  }

  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error) {
    auto* self = static_cast<PipeWire*>(data);
    if (state == PW_STREAM_STATE_STREAMING) {
      std::lock_guard lock(self->owner->mutex_);
      self->owner->running_ = true;
      self->owner->changed_.notify_all();
    } else if (state == PW_STREAM_STATE_ERROR ||
               (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_CONNECTING)) {
      logLine(std::string("screen stream ended: ") + pw_stream_state_as_string(state) +
              (error ? std::string(" (") + error + ")" : std::string()));
      self->owner->fail(sharingEndedError());
    }
  }

  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWire*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &self->format) < 0) {
      return;
    }
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[3];
    // Mappable memory only: a DMA-BUF could not be read without a GPU context.
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    // Room for the pointer's bitmap, for a producer that sends the pointer as metadata.
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1), cursorMetaSize(256, 256))));
    pw_stream_update_params(self->stream, params, 3);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<PipeWire*>(data);
    // Every queued buffer may move the pointer; of the pictures only the newest matters, and
    // the others go straight back.
    const Pointer before = self->pointer;
    std::optional<PointerShape> shape;
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) {
      self->readPointer(*buffer->buffer, shape);
      if (!carriesPicture(*buffer->buffer)) {
        pw_stream_queue_buffer(self->stream, buffer);
        continue;
      }
      if (newest) pw_stream_queue_buffer(self->stream, newest);
      newest = buffer;
    }
    const bool copied = newest && self->copy(*newest->buffer);
    if (newest) pw_stream_queue_buffer(self->stream, newest);
    const bool moved = !(self->pointer == before);
    if (copied || moved || shape) {
      self->owner->deliver(copied ? &self->filling : nullptr, moved ? &self->pointer : nullptr,
                           shape ? &*shape : nullptr);
    }
  }

  // Takes the pointer from `buffer`'s cursor metadata, if any; a new bitmap goes to `shape`.
  void readPointer(const spa_buffer& buffer, std::optional<PointerShape>& shape) {
    const spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
    if (!meta || !meta->data || meta->size < sizeof(spa_meta_cursor)) return;
    spa_meta_cursor cursor;
    std::memcpy(&cursor, meta->data, sizeof cursor);
    if (!spa_meta_cursor_is_valid(&cursor)) {
      pointer.visible = false;
      return;
    }
    if (cursor.bitmap_offset != 0) {
      if (std::optional<PointerShape> bitmap = readBitmap(*meta, cursor.bitmap_offset)) {
        shape = std::move(bitmap);
        hotX = cursor.hotspot.x;
        hotY = cursor.hotspot.y;
      }
    }
    pointer = {true, cursor.position.x - hotX, cursor.position.y - hotY};
  }

  // The bitmap at `at` in the cursor metadata `meta`, converted; nothing when there is no new
  // one, or it has a format we cannot read or reaches outside the metadata (the producer's
  // offsets are not trusted).
  std::optional<PointerShape> readBitmap(const spa_meta& meta, std::uint32_t at) {
    const auto refuse = [this] {
      if (!reportedBadBitmap) {
        reportedBadBitmap = true;
        logLine("screen stream sends a pointer bitmap that cannot be read; keeping the last one");
      }
      return std::nullopt;
    };
    const std::uint64_t size = meta.size;
    if (at < sizeof(spa_meta_cursor) || at + std::uint64_t(sizeof(spa_meta_bitmap)) > size) return refuse();
    const auto* base = static_cast<const std::uint8_t*>(meta.data);
    spa_meta_bitmap bitmap;
    std::memcpy(&bitmap, base + at, sizeof bitmap);
    if (bitmap.format == SPA_VIDEO_FORMAT_UNKNOWN) return std::nullopt;  // no new bitmap after all
    const std::optional<ChannelOrder> order = channelOrder(bitmap.format);
    if (!order) return refuse();
    const std::uint64_t width = bitmap.size.width;
    const std::uint64_t height = bitmap.size.height;
    // No image data: an invisible pointer.
    if (bitmap.offset == 0 || width == 0 || height == 0) return PointerShape{};
    if (bitmap.offset < sizeof(spa_meta_bitmap) || bitmap.stride <= 0) return refuse();
    const std::uint64_t stride = std::uint64_t(bitmap.stride);
    const std::uint64_t start = at + std::uint64_t(bitmap.offset);
    if (stride < width * 4 || start + stride * (height - 1) + width * 4 > size) return refuse();
    PointerShape shape{std::vector<std::uint32_t>(width * height), int(width), int(height)};
    for (std::uint64_t y = 0; y < height; ++y) {
      const std::uint8_t* pixel = base + start + y * stride;
      for (std::uint64_t x = 0; x < width; ++x, pixel += 4) {
        const std::uint32_t alpha = order->alpha < 0 ? 0xFF : pixel[order->alpha];
        shape.argb[y * width + x] = alpha << 24 | std::uint32_t(pixel[order->red]) << 16 |
                                    std::uint32_t(pixel[order->green]) << 8 | pixel[order->blue];
      }
    }
    // A pointer image without an alpha channel (an application's XRGB cursor) reaches us from
    // KWin as RGBA with the unused byte, often 0, for alpha: no premultiplied pixel has colour
    // without alpha, so a bitmap with colour and no alpha anywhere is opaque.
    const bool noAlpha = std::ranges::none_of(shape.argb, [](std::uint32_t p) { return p >> 24 != 0; });
    if (noAlpha && std::ranges::any_of(shape.argb, [](std::uint32_t p) { return (p & 0xFFFFFF) != 0; })) {
      for (std::uint32_t& p : shape.argb) p |= 0xFF000000;
    }
    return shape;
  }

  // Copies the picture of a buffer that carriesPicture() into `filling`; false when it does
  // not fit the format.
  bool copy(const spa_buffer& buffer) {
    const spa_data& plane = buffer.datas[0];
    if (!plane.data) {
      if (!reportedUnmappable) {
        reportedUnmappable = true;
        logLine("screen stream delivers buffers that cannot be mapped (type " +
                std::to_string(plane.type) + ")");
        owner->fail(pipeWireError());
      }
      return false;
    }
    const int width = static_cast<int>(format.size.width);
    const int height = static_cast<int>(format.size.height);
    if (plane.maxsize == 0 || width <= 0 || height <= 0) return false;
    const int stride = plane.chunk->stride > 0 ? plane.chunk->stride : width * 4;
    const std::size_t offset = plane.chunk->offset % plane.maxsize;
    if (offset + static_cast<std::size_t>(stride) * (height - 1) + width * 4u > plane.maxsize) return false;
    const auto* source = static_cast<const std::uint8_t*>(plane.data) + offset;
    filling.width = width;
    filling.height = height;
    filling.stride = width * 4;
    filling.bytes.resize(static_cast<std::size_t>(filling.stride) * height);
    for (int row = 0; row < height; ++row) {
      std::memcpy(filling.bytes.data() + static_cast<std::size_t>(row) * filling.stride,
                  source + static_cast<std::size_t>(row) * stride, filling.stride);
    }
    return true;
  }
};

std::unique_ptr<PipeWireDisplayStream> PipeWireDisplayStream::open(PipeWireNode source,
                                                                   std::chrono::milliseconds timeout,
                                                                   const std::atomic<bool>* cancelled,
                                                                   CaptureError& error) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

  std::unique_ptr<PipeWireDisplayStream> self(new PipeWireDisplayStream());
  self->node_ = std::move(source);
  const int fd = self->node_.remoteFd;
  self->pipeWire_ = std::make_unique<PipeWire>();
  PipeWire& pw = *self->pipeWire_;
  pw.owner = self.get();
  pw.loop = pw_thread_loop_new("pipewire", nullptr);
  pw.context = pw.loop ? pw_context_new(pw_thread_loop_get_loop(pw.loop), nullptr, 0) : nullptr;
  if (!pw.context || pw_thread_loop_start(pw.loop) < 0) {
    if (fd >= 0) close(fd);
    error = pipeWireError();
    return nullptr;
  }

  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = &PipeWire::onCoreError;
    return events;
  }();
  static const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &PipeWire::onStateChanged;
    events.param_changed = &PipeWire::onParamChanged;
    events.process = &PipeWire::onProcess;
    return events;
  }();

  const PipeWireNode& node = self->node_;
  pw_thread_loop_lock(pw.loop);
  // connect_fd takes the descriptor.
  pw.core = fd >= 0 ? pw_context_connect_fd(pw.context, fd, nullptr, 0) : pw_context_connect(pw.context, nullptr, 0);
  bool connected = false;
  if (pw.core) {
    pw_core_add_listener(pw.core, &pw.coreListener, &coreEvents, &pw);
    pw.stream = pw_stream_new(pw.core, "quorin-screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  }
  if (pw.stream) {
    pw_stream_add_listener(pw.stream, &pw.streamListener, &streamEvents, &pw);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_rectangle size{static_cast<uint32_t>(node.width), static_cast<uint32_t>(node.height)};
    spa_rectangle minSize{1, 1};
    spa_rectangle maxSize{16384, 16384};
    spa_fraction rate{60, 1};
    spa_fraction minRate{0, 1};
    spa_fraction maxRate{1000, 1};
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)));
    connected = pw_stream_connect(pw.stream, PW_DIRECTION_INPUT, node.id,
                                  static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                               PW_STREAM_FLAG_MAP_BUFFERS |
                                                               PW_STREAM_FLAG_DONT_RECONNECT),
                                  &format, 1) >= 0;
  }
  pw_thread_loop_unlock(pw.loop);
  if (!connected) {
    logLine("could not connect to the screen's PipeWire node " + std::to_string(node.id));
    error = pipeWireError();
    return nullptr;
  }

  // The flag has no way to wake the wait, so it is looked at every 100 ms.
  std::unique_lock lock(self->mutex_);
  const auto giveUp = std::chrono::steady_clock::now() + timeout;
  auto settled = [&] { return self->running_ || self->failure_.has_value(); };
  while (!settled() && !(cancelled && *cancelled) && std::chrono::steady_clock::now() < giveUp) {
    self->changed_.wait_until(lock, std::min(giveUp, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
  }
  if (cancelled && *cancelled) {
    error = sharingWithdrawnError();
    lock.unlock();
    return nullptr;
  }
  if (self->failure_) {
    error = pipeWireError();
    lock.unlock();
    return nullptr;
  }
  if (!settled()) logLine("screen stream is slow to start; waiting for its pictures");
  return self;
}

PipeWireDisplayStream::~PipeWireDisplayStream() {
  pipeWire_.reset();  // stops the PipeWire thread before the state it writes goes away
}

const BgraImage* PipeWireDisplayStream::grab(bool force) {
  bool newPicture = false;
  std::optional<PointerShape> shape;
  {
    std::lock_guard lock(mutex_);
    if (failure_) return nullptr;
    if (hasNewPicture_) {
      std::swap(front_, latest_);
      newPicture = true;
    }
    if (hasNewPointer_) pointer_ = latestPointer_;
    if (hasNewShape_) shape = std::move(latestShape_);
    hasNewPicture_ = hasNewPointer_ = hasNewShape_ = false;
  }
  // The hotspot is already taken off the pointer's place.
  if (shape) cursor_.setShape(std::move(shape->argb), shape->width, shape->height, 0, 0);
  if (front_.bytes.empty()) return nullptr;
  const int x = pointer_.visible ? pointer_.left : kPointerHidden;
  const int y = pointer_.visible ? pointer_.top : kPointerHidden;
  const bool pointerMoved = cursor_.changesPicture(x, y, front_.width, front_.height);
  if (!newPicture && !pointerMoved && !force) return nullptr;
  changedArea_ = newPicture || force ? ChangedArea{} : ChangedArea::none();
  if (newPicture) cursor_.forget();
  if (newPicture || pointerMoved) {
    cursor_.draw({front_.bytes.data(), front_.width, front_.height, front_.stride}, x, y, changedArea_);
  }
  image_ = BgraImage{front_.bytes.data(), front_.width, front_.height, front_.stride};
  return &image_;
}

bool PipeWireDisplayStream::waitForChange(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  const auto waiting = [this] { return hasNewPicture_ || hasNewPointer_ || hasNewShape_; };
  changed_.wait_until(lock, deadline, [&] { return waiting() || interrupted_ || failure_; });
  interrupted_ = false;
  return waiting() || failure_.has_value();
}

void PipeWireDisplayStream::interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
  changed_.notify_all();
}

std::optional<CaptureError> PipeWireDisplayStream::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

void PipeWireDisplayStream::deliver(Picture* picture, const Pointer* pointer, PointerShape* shape) {
  std::lock_guard lock(mutex_);
  if (picture) {
    std::swap(*picture, latest_);
    hasNewPicture_ = true;
  }
  if (pointer) {
    latestPointer_ = *pointer;
    hasNewPointer_ = true;
  }
  if (shape) {
    latestShape_ = std::move(*shape);
    hasNewShape_ = true;
  }
  changed_.notify_all();
}

void PipeWireDisplayStream::fail(const CaptureError& error) {
  std::lock_guard lock(mutex_);
  if (!failure_) failure_ = error;
  changed_.notify_all();
}

ScreenRect PipeWireDisplayStream::area() const { return {0, 0, node_.width, node_.height}; }

}  // namespace quorin
