#include "video/wayland/wlr_screencopy_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/wakeup.h"
#include "video/wayland/screencopy_connection.h"

namespace quorin::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// How soon a failed copy is asked for again: an output being reconfigured fails every copy
// for a moment, and asking again at once would spin.
constexpr auto kRetryAfterFailure = std::chrono::milliseconds(100);

using BufferPtr = Proxy<wl_buffer, wl_buffer_destroy>;
using FramePtr = Proxy<zwlr_screencopy_frame_v1, zwlr_screencopy_frame_v1_destroy>;

using Output = WaylandOutput;

// A wl_shm buffer of one frame's format and size, mapped here.
class ShmBuffer {
 public:
  struct Layout {
    std::uint32_t format = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool operator==(const Layout&) const = default;
  };

  static std::unique_ptr<ShmBuffer> create(wl_shm* shm, const Layout& layout) {
    const std::size_t size = std::size_t(layout.stride) * layout.height;
    const int fd = memfd_create("quorin-screencopy", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    void* pixels = ftruncate(fd, off_t(size)) == 0 ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                                                   : MAP_FAILED;
    if (pixels == MAP_FAILED) {
      close(fd);
      return nullptr;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, std::int32_t(size));
    wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, layout.width, layout.height, layout.stride, layout.format);
    wl_shm_pool_destroy(pool);  // the buffer keeps the memory
    close(fd);
    return std::unique_ptr<ShmBuffer>(new ShmBuffer(layout, buffer, static_cast<std::uint8_t*>(pixels), size));
  }

  ~ShmBuffer() { munmap(pixels_, size_); }
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  const Layout& layout() const { return layout_; }
  wl_buffer* buffer() const { return buffer_.get(); }
  BgraImage image() const { return {pixels_, layout_.width, layout_.height, layout_.stride}; }

  // Turns the picture upside down, as a compositor whose copies come bottom row first needs.
  void flipRows() {
    std::vector<std::uint8_t> row(std::size_t(layout_.stride));
    for (int top = 0, bottom = layout_.height - 1; top < bottom; ++top, --bottom) {
      std::uint8_t* a = pixels_ + std::size_t(top) * layout_.stride;
      std::uint8_t* b = pixels_ + std::size_t(bottom) * layout_.stride;
      std::memcpy(row.data(), a, row.size());
      std::memcpy(a, b, row.size());
      std::memcpy(b, row.data(), row.size());
    }
  }

 private:
  ShmBuffer(const Layout& layout, wl_buffer* buffer, std::uint8_t* pixels, std::size_t size)
      : layout_(layout), buffer_(buffer), pixels_(pixels), size_(size) {}

  Layout layout_;
  BufferPtr buffer_;
  std::uint8_t* pixels_;
  std::size_t size_;
};

// XRGB8888 and ARGB8888 are B, G, R, X/A bytes in little-endian memory, as the encoder takes.
bool readable(std::uint32_t format) { return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888; }

class ScreencopyStream final : public DisplayStream {
 public:
  ScreencopyStream(std::unique_ptr<ScreencopyConnection> connection, std::string wanted)
      : connection_(std::move(connection)),
        wanted_(std::move(wanted)),
        socket_(fcntl(wl_display_get_fd(connection_->display()), F_DUPFD_CLOEXEC, 0)) {}

  ~ScreencopyStream() override {
    frame_.reset();
    front_.reset();
    back_.reset();
    connection_.reset();
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
  }

  bool start(CaptureError& error) {
    if (!followOutput()) {
      error = noOutputError();
      return false;
    }
    requestFrame();
    return true;
  }

  const BgraImage* grab(bool force) override;
  ScreenRect area() const override { return area_; }
  ChangedArea changedArea() const override { return changed_; }
  // The compositor's copy is the change as far as the stream can tell: when it was ready.
  std::optional<Clock::time_point> changeSeenAt() const override { return seenAt_; }
  bool waitForChange(Clock::time_point deadline) override;
  void interrupt() override { wakeup_.raise(); }
  void abandon() override {
    // shutdown() acts on the socket, which a copy of the descriptor shares: a read or write
    // in progress fails, and the connection counts as lost.
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
  }
  std::optional<CaptureError> failure() const override {
    if (connection_->lost()) return compositorLostError();
    return formatError_;
  }

 private:
  static const zwlr_screencopy_frame_v1_listener frameListener;

  // Chooses the output again after the outputs changed: the wanted one, else the first.
  // False while there is none.
  bool followOutput();
  // Asks for the next picture of the output into the back buffer, unless one is on its way.
  void requestFrame();
  // The frame's buffer layouts are all told: copy into a back buffer of the one it takes.
  void copy();
  // Whether grab() has anything to do.
  bool changePending() const {
    return ready_ || outputsChanged_ || (!frame_ && current_ && Clock::now() >= retryAt_);
  }

  std::unique_ptr<ScreencopyConnection> connection_;
  const std::string wanted_;  // as asked for; empty for the first output
  std::uint32_t current_ = 0;  // the global of the output streamed; 0 while there is none
  std::string shown_;          // its name
  ScreenRect device_;          // its size in pixels when its frame was asked for
  ScreenRect area_;
  bool outputsChanged_ = false;

  FramePtr frame_;  // on its way
  std::optional<ShmBuffer::Layout> offered_;
  bool yInvert_ = false;
  bool ready_ = false;  // the back buffer holds a picture not yet handed out
  Clock::time_point readyAt_;                // of the picture in the back buffer
  std::optional<Clock::time_point> seenAt_;  // of the picture handed out last
  Clock::time_point retryAt_;
  std::unique_ptr<ShmBuffer> front_;  // the picture handed out last
  std::unique_ptr<ShmBuffer> back_;   // the one the compositor copies into
  BgraImage view_;
  // What the compositor said changed since the frame before, for the frame on its way and
  // the one in the back buffer; what changed in the picture handed out last.
  ChangedArea damage_;
  ChangedArea backChanged_;
  ChangedArea changed_;
  bool unrelated_ = true;  // the next frame follows no picture handed out of this output
  std::optional<CaptureError> formatError_;

  Wakeup wakeup_;
  std::mutex socketMutex_;
  int socket_;  // a copy of the connection's descriptor, for abandon()
};

ScreencopyStream& stream(void* data) { return *static_cast<ScreencopyStream*>(data); }

const zwlr_screencopy_frame_v1_listener ScreencopyStream::frameListener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
           std::uint32_t stride) {
          auto& s = stream(data);
          if (readable(format)) s.offered_ = ShmBuffer::Layout{format, int(width), int(height), int(stride)};
          // Before version 3 the one buffer event is all there is.
          if (s.connection_->screencopyVersion() < 3) s.copy();
        },
    .flags = [](void* data, zwlr_screencopy_frame_v1*,
                std::uint32_t flags) { stream(data).yInvert_ = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT; },
    .ready =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
          auto& s = stream(data);
          s.frame_.reset();
          if (s.yInvert_) {
            s.back_->flipRows();
            const int height = s.back_->layout().height;
            for (ScreenRect& r : s.damage_.rects) r.y = height - r.y - r.height;
          }
          s.backChanged_ = std::exchange(s.damage_, {});
          if (std::exchange(s.unrelated_, false)) s.backChanged_ = {};
          s.ready_ = true;
          s.readyAt_ = Clock::now();
        },
    .failed =
        [](void* data, zwlr_screencopy_frame_v1*) {
          auto& s = stream(data);
          s.frame_.reset();
          s.retryAt_ = Clock::now() + kRetryAfterFailure;
        },
    .damage =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
           std::uint32_t height) {
          auto& s = stream(data);
          if (!s.back_) return;
          // Sent only with copy_with_damage, before ready, and relative to the frame before.
          s.damage_.everything = false;
          s.damage_.add({int(x), int(y), int(width), int(height)}, {s.back_->layout().width, s.back_->layout().height});
        },
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { stream(data).copy(); },
};

bool ScreencopyStream::followOutput() {
  const std::vector<const Output*> outputs = connection_->outputs();
  const auto named = std::find_if(outputs.begin(), outputs.end(), [&](const Output* o) { return o->name == wanted_; });
  const Output* chosen = named != outputs.end() ? *named : outputs.empty() ? nullptr : outputs.front();
  if (!chosen) {
    if (current_) logLine("the output \"" + shown_ + "\" is gone and no other is there to share");
    current_ = 0;
    frame_.reset();
    return false;
  }
  if (chosen->global != current_) {
    if (chosen->name == wanted_ && current_) {
      logLine("the output \"" + wanted_ + "\" is back; sharing it again");
    } else if (chosen->name != wanted_ && (current_ || !wanted_.empty())) {
      logLine("the output \"" + (wanted_.empty() ? shown_ : wanted_) + "\" is not there; sharing \"" +
              chosen->name + "\" instead");
    }
    current_ = chosen->global;
    shown_ = chosen->name;
    frame_.reset();  // a copy of the other output
    unrelated_ = true;
  } else if (chosen->device != device_) {
    frame_.reset();  // asked for before a mode change: it would copy the old size, or fail
    unrelated_ = true;
  }
  area_ = chosen->rect();
  return true;
}

void ScreencopyStream::requestFrame() {
  if (frame_ || !current_) return;
  const std::vector<const Output*> outputs = connection_->outputs();
  const auto output =
      std::find_if(outputs.begin(), outputs.end(), [&](const Output* o) { return o->global == current_; });
  if (output == outputs.end()) return;
  device_ = (*output)->device;
  offered_.reset();
  damage_ = {};  // everything, unless the compositor tells
  yInvert_ = false;
  // The compositor draws the pointer in (overlay_cursor = 1).
  frame_.reset(zwlr_screencopy_manager_v1_capture_output(connection_->screencopy(), 1, (*output)->output.get()));
  zwlr_screencopy_frame_v1_add_listener(frame_.get(), &frameListener, this);
}

void ScreencopyStream::copy() {
  if (!frame_) return;
  if (!offered_) {
    formatError_ = unsupportedFormatError();
    frame_.reset();
    return;
  }
  if (!back_ || back_->layout() != *offered_) {
    back_ = ShmBuffer::create(connection_->shm(), *offered_);
    if (!back_) {
      logLine("cannot make shared memory for the screen's pictures: " + std::string(std::strerror(errno)));
      frame_.reset();
      retryAt_ = Clock::now() + kRetryAfterFailure;
      return;
    }
  }
  // Answered once the output changed: an idle output costs nothing.
  if (connection_->screencopyVersion() >= 2) {
    zwlr_screencopy_frame_v1_copy_with_damage(frame_.get(), back_->buffer());
  } else {
    zwlr_screencopy_frame_v1_copy(frame_.get(), back_->buffer());
  }
}

const BgraImage* ScreencopyStream::grab(bool force) {
  if (failure()) return nullptr;
  connection_->dispatch(Clock::now());
  const bool outputsChanged = connection_->takeOutputsChanged();
  if (std::exchange(outputsChanged_, false) || outputsChanged) followOutput();
  const bool fresh = std::exchange(ready_, false);
  if (fresh) std::swap(front_, back_);
  changed_ = fresh ? backChanged_ : ChangedArea{};
  seenAt_ = fresh ? std::optional(readyAt_) : std::nullopt;
  // The back buffer is free again now that the picture handed out before is done with.
  if (Clock::now() >= retryAt_) requestFrame();
  wl_display_flush(connection_->display());
  if (!front_ || !(fresh || force)) return nullptr;
  view_ = front_->image();
  return &view_;
}

bool ScreencopyStream::waitForChange(Clock::time_point deadline) {
  for (;;) {
    if (failure()) return true;  // the capture manager reads failure() next
    outputsChanged_ = outputsChanged_ || connection_->takeOutputsChanged();
    if (changePending()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto until = !frame_ && current_ ? std::min(deadline, retryAt_) : deadline;
    if (!connection_->dispatch(until, wakeup_.fd())) return true;
    if (wakeup_.take()) {
      outputsChanged_ = outputsChanged_ || connection_->takeOutputsChanged();
      return changePending();
    }
  }
}

}  // namespace

std::unique_ptr<DisplayStream> openScreencopyStream(const std::string& displayName, const std::string& outputName,
                                                    CaptureError& error, const std::atomic<bool>* cancelled) {
  auto connection = std::make_unique<ScreencopyConnection>();
  if (!connection->open(displayName, error, cancelled)) return nullptr;
  if (!connection->screencopy() || !connection->shm()) {
    error = noScreencopyError();
    return nullptr;
  }
  auto stream = std::make_unique<ScreencopyStream>(std::move(connection), outputName);
  if (!stream->start(error)) return nullptr;
  return stream;
}

}  // namespace quorin::wayland
