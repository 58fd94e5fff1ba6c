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
#include "base/wayland/wayland_output.h"
#include "base/wayland_client.h"
#include "base/wakeup.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace quorin::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// How long set-up waits for each answer of the compositor.
constexpr auto kSetupTimeout = std::chrono::seconds(2);
// How soon a failed copy is asked for again: an output being reconfigured fails every copy
// for a moment, and asking again at once would spin.
constexpr auto kRetryAfterFailure = std::chrono::milliseconds(100);

enum WaylandErrorCode {
  kCannotConnect = 1,
  kNoScreencopy = 2,
  kNoOutput = 3,
  kConnectionLost = 4,
  kUnsupportedFormat = 5,
  kSetupTimedOut = 6,
};

CaptureError waylandError(WaylandErrorCode code, std::string description) {
  return {"Wayland", code, std::move(description)};
}

using ShmPtr = Proxy<wl_shm, wl_shm_destroy>;
using BufferPtr = Proxy<wl_buffer, wl_buffer_destroy>;
using ScreencopyManagerPtr = Proxy<zwlr_screencopy_manager_v1, zwlr_screencopy_manager_v1_destroy>;
using FramePtr = Proxy<zwlr_screencopy_frame_v1, zwlr_screencopy_frame_v1_destroy>;

using Output = WaylandOutput;

// A connection to the compositor, the globals capture needs, and its outputs as they come,
// change and go. Every wait has a deadline. One thread at a time.
class Connection {
 public:
  // Connects, and reads the globals and what each output says about itself; gives up soon
  // after `cancelled` (optional) is set.
  bool open(const std::string& displayName, CaptureError& error, const std::atomic<bool>* cancelled = nullptr) {
    display_.reset(wl_display_connect(displayName.empty() ? nullptr : displayName.c_str()));
    if (!display_) {
      error = waylandError(kCannotConnect, "Cannot connect to the Wayland compositor");
      return false;
    }
    registry_.reset(wl_display_get_registry(display_.get()));
    wl_registry_add_listener(registry_.get(), &registryListener, this);
    // The globals, then what each output says about itself.
    for (int i = 0; i < 2; ++i) {
      if (!roundtrip(Clock::now() + kSetupTimeout, cancelled)) {
        error = lost() ? lostError() : waylandError(kSetupTimedOut, "The Wayland compositor did not answer in time.");
        return false;
      }
    }
    return true;
  }

  wl_display* display() const { return display_.get(); }
  wl_shm* shm() const { return shm_.get(); }
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_.get(); }
  std::uint32_t screencopyVersion() const { return screencopyVersion_; }
  const std::vector<std::string>& interfaces() const { return interfaces_; }

  // The named outputs, in the order the compositor announced them.
  std::vector<const Output*> outputs() const {
    std::vector<const Output*> named;
    for (const auto& output : outputs_) {
      if (!output->name.empty()) named.push_back(output.get());
    }
    return named;
  }
  // Whether outputs came, went or changed since the last call.
  bool takeOutputsChanged() { return std::exchange(outputsChanged_, false); }

  // Sends what is queued, then reads and handles what the compositor sent, waiting for it
  // until `deadline` at most, or until `wakeFd` is readable. False once the connection failed.
  bool dispatch(Clock::time_point deadline, int wakeFd = -1) {
    wl_display* d = display_.get();
    if (lost()) return false;
    // Events already read come first; the caller looks at them before waiting again.
    if (wl_display_prepare_read(d) != 0) return wl_display_dispatch_pending(d) >= 0 || fail();
    const int flushed = wl_display_flush(d);
    if (flushed < 0 && errno != EAGAIN) {
      wl_display_cancel_read(d);
      return fail();
    }
    using std::chrono::milliseconds;
    const auto wait = std::max<milliseconds::rep>(
        0, std::chrono::ceil<milliseconds>(deadline - Clock::now()).count());
    pollfd fds[] = {{wl_display_get_fd(d), short(POLLIN | (flushed < 0 ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, int(std::min<milliseconds::rep>(wait, 60'000)));
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
      if (wl_display_read_events(d) < 0) return fail();
    } else {
      wl_display_cancel_read(d);
    }
    return wl_display_dispatch_pending(d) >= 0 || fail();
  }

  // Waits until the compositor has handled every request sent so far; false when it failed
  // or `deadline` passed first.
  bool roundtrip(Clock::time_point deadline, const std::atomic<bool>* cancelled = nullptr) {
    if (lost()) return false;
    if (roundtripWithin(display_.get(), std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()),
                        cancelled)) {
      return true;
    }
    if (wl_display_get_error(display_.get()) != 0) fail();  // logs the loss once
    return false;
  }

  bool lost() const { return lost_ || wl_display_get_error(display_.get()) != 0; }
  static CaptureError lostError() {
    return waylandError(kConnectionLost, "The connection to the Wayland compositor was lost, so the session ended.");
  }

 private:
  bool fail() {
    if (!lost_) logLine("the Wayland connection for screen capture failed: " + std::string(std::strerror(errno)));
    lost_ = true;
    return false;
  }

  static const wl_registry_listener registryListener;

  DisplayPtr display_;  // first: destroyed last
  RegistryPtr registry_;
  ShmPtr shm_;
  ScreencopyManagerPtr screencopy_;
  std::uint32_t screencopyVersion_ = 0;
  XdgOutputManagerPtr xdgOutputManager_;
  std::vector<std::unique_ptr<Output>> outputs_;
  std::vector<std::string> interfaces_;  // every global announced
  bool outputsChanged_ = true;
  bool lost_ = false;
};

const wl_registry_listener Connection::registryListener = {
    .global = [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
      auto& c = *static_cast<Connection*>(data);
      c.interfaces_.emplace_back(interface);
      const auto bind = [&](const wl_interface* wanted, std::uint32_t most) {
        return wl_registry_bind(registry, name, wanted, std::min(version, most));
      };
      if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        c.shm_.reset(static_cast<wl_shm*>(bind(&wl_shm_interface, 1)));
      } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
        c.screencopyVersion_ = std::min(version, 3U);
        c.screencopy_.reset(static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 3)));
      } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
        c.xdgOutputManager_.reset(static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3)));
        for (const auto& output : c.outputs_) output->watch(c.xdgOutputManager_.get());
      } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto& output = *c.outputs_.emplace_back(std::make_unique<Output>());
        output.changed = &c.outputsChanged_;
        output.bind(registry, name, version);
        output.watch(c.xdgOutputManager_.get());
      }
    },
    .global_remove = [](void* data, wl_registry*, std::uint32_t name) {
      auto& c = *static_cast<Connection*>(data);
      if (std::erase_if(c.outputs_, [name](const auto& output) { return output->global == name; })) {
        c.outputsChanged_ = true;
      }
    },
};

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
  ScreencopyStream(std::unique_ptr<Connection> connection, std::string wanted)
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
      error = waylandError(kNoOutput, "The Wayland compositor has no output to share.");
      return false;
    }
    requestFrame();
    return true;
  }

  const BgraImage* grab(bool force) override;
  ScreenRect area() const override { return area_; }
  ChangedArea changedArea() const override { return changed_; }
  bool waitForChange(Clock::time_point deadline) override;
  void interrupt() override { wakeup_.raise(); }
  void abandon() override {
    // shutdown() acts on the socket, which a copy of the descriptor shares: a read or write
    // in progress fails, and the connection counts as lost.
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
  }
  std::optional<CaptureError> failure() const override {
    if (connection_->lost()) return Connection::lostError();
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

  std::unique_ptr<Connection> connection_;
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
    formatError_ = waylandError(kUnsupportedFormat, "The Wayland compositor offers its screen only in a pixel "
                                                    "format the host cannot read.");
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

std::vector<Monitor> listOutputs(const std::string& displayName, CaptureError& error) {
  Connection connection;
  if (!connection.open(displayName, error)) return {};
  std::vector<Monitor> monitors;
  for (const Output* output : connection.outputs()) {
    monitors.push_back({output->name, output->rect(), monitors.empty()});
  }
  return monitors;
}

std::unique_ptr<DisplayStream> openScreencopyStream(const std::string& displayName, const std::string& outputName,
                                                    CaptureError& error, const std::atomic<bool>* cancelled) {
  auto connection = std::make_unique<Connection>();
  if (!connection->open(displayName, error, cancelled)) return nullptr;
  if (!connection->screencopy() || !connection->shm()) {
    error = waylandError(kNoScreencopy, "The Wayland compositor does not let the host copy its screen.");
    return nullptr;
  }
  auto stream = std::make_unique<ScreencopyStream>(std::move(connection), outputName);
  if (!stream->start(error)) return nullptr;
  return stream;
}

bool compositorOffers(const std::string& displayName, std::initializer_list<std::string_view> interfaces) {
  Connection connection;
  CaptureError error;
  if (!connection.open(displayName, error)) return false;
  const std::vector<std::string>& offered = connection.interfaces();
  return std::ranges::all_of(interfaces, [&](std::string_view wanted) {
    return std::find(offered.begin(), offered.end(), wanted) != offered.end();
  });
}

}  // namespace quorin::wayland
