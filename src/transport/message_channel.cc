#include "transport/message_channel.h"

#include <asio/post.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <deque>
#include <optional>
#include <utility>
#include <variant>

#include "base/log.h"
#include "protocol/frame.h"

namespace quorin {
namespace {

std::string describe(const asio::ip::tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  const std::string port = std::to_string(endpoint.port());
  return address.is_v6() ? "[" + address.to_string() + "]:" + port
                         : address.to_string() + ":" + port;
}

// With TLS, an orderly end is the peer's close_notify (read as eof); a bare TCP close under
// TLS (stream truncated) is a broken link.
bool isOrderlyEnd(const std::error_code& ec) { return ec == asio::error::eof; }

}  // namespace

// Everything that runs on the socket's thread. Pending operations keep the core alive, so
// the owner can drop the channel at any moment; `detached_` then silences the callbacks.
class MessageChannel::Core : public std::enable_shared_from_this<MessageChannel::Core> {
 public:
  using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

  using Stream = std::variant<asio::ip::tcp::socket, TlsStream>;

  Core(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls)
      : tls_(std::move(tls)), timer_(socket.get_executor()), stream_(makeStream(std::move(socket), tls_)) {}

  struct Callbacks {
    std::function<void(MessageType, Bytes)> onMessage;
    std::function<void(std::error_code)> onClose;
    std::function<void()> onReady;
    std::function<void(bool)> onCongestion;
    std::size_t congestionFrames = 2;
    std::size_t maxInboundPayload = FrameExtractor::kDefaultMaxPayload;
    std::chrono::milliseconds stallTimeout = kStallTimeout;
  };

  void handshake(std::function<void(std::error_code)> done) {
    asio::post(executor(), [self = shared_from_this(), done = std::move(done)]() mutable {
      self->handshakeDone_ = std::move(done);
      self->beginHandshake();
    });
  }

  void start(Callbacks callbacks) {
    asio::post(executor(), [self = shared_from_this(), callbacks = std::move(callbacks)]() mutable {
      self->callbacks_ = std::move(callbacks);
      self->inbound_ = FrameExtractor(self->callbacks_.maxInboundPayload);
      if (self->state_ == State::handshaken) {
        self->becomeReady();
      } else if (self->state_ == State::idle) {
        self->beginHandshake();
      }
    });
  }

  void send(std::shared_ptr<Bytes> frame, std::function<void()> written) {
    queued_ += frame->size();
    asio::post(executor(), [self = shared_from_this(), frame = std::move(frame), written = std::move(written)]() mutable {
      if (self->state_ == State::ended || self->state_ == State::closing) {
        self->queued_ -= frame->size();
        return;
      }
      self->writes_.push_back({std::move(frame), std::move(written)});
      self->updateCongestion();
      self->writeNext();
    });
  }

  void cancel() {
    asio::post(executor(), [self = shared_from_this()] { self->onCancel(); });
  }

  void detach() {
    detached_ = true;
    asio::post(executor(), [self = shared_from_this()] {
      if (self->state_ != State::closing) self->closeSocket();  // a close_notify finishes
    });
  }

  std::size_t queued() const { return queued_; }

  Progress progress() {
    auto* tls = std::get_if<TlsStream>(&stream_);
    if (tls && TlsContext::identityAccepted(tls->native_handle())) return Progress::identified;
    if (!heard_) {
      // The wait for the first bytes may not have run yet, or the TLS engine already took
      // them off the socket.
      std::error_code ignored;
      heard_ = socket().available(ignored) > 0 ||
               (tls && SSL_get_state(tls->native_handle()) != TLS_ST_BEFORE);
    }
    return heard_ ? Progress::spoke : Progress::silent;
  }

  std::optional<std::chrono::steady_clock::time_point> identifiedAt() {
    auto* tls = std::get_if<TlsStream>(&stream_);
    return tls ? TlsContext::identifiedAt(tls->native_handle()) : std::nullopt;
  }

 private:
  // handshaken: the handshake succeeded through handshake(), start() not yet seen.
  // closing: cancelled while ready, sending close_notify before the socket closes.
  enum class State { idle, handshaking, handshaken, ready, closing, ended };

  static Stream makeStream(asio::ip::tcp::socket socket, const std::shared_ptr<TlsContext>& tls) {
    if (tls) return Stream(std::in_place_type<TlsStream>, std::move(socket), tls->native());
    return Stream(std::in_place_type<asio::ip::tcp::socket>, std::move(socket));
  }

  asio::any_io_executor executor() { return timer_.get_executor(); }

  asio::ip::tcp::socket& socket() {
    if (auto* tls = std::get_if<TlsStream>(&stream_)) return tls->next_layer();
    return std::get<asio::ip::tcp::socket>(stream_);
  }

  void log(std::string_view line) {
    if (!detached_) logLine(line);
  }

  bool quietUntilReady() const {
    return std::holds_alternative<TlsStream>(stream_) && tls_->role() == TlsContext::Role::server;
  }

  void logReady() {
    if (quietUntilReady()) {
      log("connection setup");
      log("connection preparing (resolving + handshake)");
    }
    log("connection READY");
  }

  void beginHandshake() {
    if (state_ != State::idle) return;  // cancelled before it started
    state_ = State::handshaking;
    if (!quietUntilReady()) log("connection setup");
    std::error_code ignored;
    socket().set_option(asio::ip::tcp::no_delay(true), ignored);
    if (!quietUntilReady()) log("connection preparing (resolving + handshake)");
    auto* tls = std::get_if<TlsStream>(&stream_);
    if (!tls) {
      handshakeSucceeded();
      return;
    }
    const bool server = tls_->role() == TlsContext::Role::server;
    armHandshakeTimer(server ? kFirstBytesTimeout : kHandshakeTimeout);
    if (server) {
      // A peer that opens a connection and says nothing must not hold a slot for long.
      socket().async_wait(asio::socket_base::wait_read, [self = shared_from_this()](std::error_code ec) {
        if (ec || self->state_ != State::handshaking) return;
        self->heard_ = true;
        self->armHandshakeTimer(kHandshakeTimeout);
      });
    }
    tls->async_handshake(server ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
                         [self = shared_from_this()](std::error_code ec) {
                           if (self->state_ != State::handshaking) return;
                           self->timer_.cancel();
                           if (self->handshakeTimedOut_) ec = asio::error::timed_out;
                           if (ec) {
                             self->fail(ec);
                           } else {
                             self->handshakeSucceeded();
                           }
                         });
  }

  void armHandshakeTimer(std::chrono::seconds limit) {
    timer_.expires_after(limit);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (ec || self->state_ != State::handshaking) return;
      self->handshakeTimedOut_ = true;
      self->closeSocket();
    });
  }

  void handshakeSucceeded() {
    if (!handshakeDone_) {
      becomeReady();
      return;
    }
    state_ = State::handshaken;
    logReady();
    std::exchange(handshakeDone_, nullptr)(std::error_code());
  }

  void becomeReady() {
    if (state_ != State::handshaken) logReady();
    state_ = State::ready;
    readBuffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReadChunk);
    if (!detached_ && callbacks_.onReady) callbacks_.onReady();
    if (state_ != State::ready) return;  // onReady cancelled the channel
    readNext();
    writeNext();
  }

  void fail(std::error_code ec) {
    const bool quiet = state_ == State::handshaking && quietUntilReady();
    state_ = State::ended;
    closeSocket();
    if (!quiet) log("connection FAILED — " + ec.message());
    if (handshakeDone_) std::exchange(handshakeDone_, nullptr)(ec);
    report(ec);
  }

  void report(std::error_code ec) {
    if (!detached_ && callbacks_.onClose) callbacks_.onClose(ec);
  }

  void onCancel() {
    if (cancelled_) return;
    cancelled_ = true;
    auto* tls = std::get_if<TlsStream>(&stream_);
    if (tls && state_ == State::ready) {
      beginClose();
    } else {
      state_ = State::ended;
      closeSocket();
    }
    log("connection cancelled");
    report({});
  }

  // Frames not yet started are dropped; the one being written is finished, so that the
  // close_notify follows a whole record.
  void beginClose() {
    state_ = State::closing;
    for (std::size_t i = writing_ ? 1 : 0; i < writes_.size(); ++i) queued_ -= writes_[i].frame->size();
    writes_.resize(writing_ ? 1 : 0);
    timer_.expires_after(kCloseTimeout);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec && self->state_ == State::closing) self->endClose();
    });
    if (!writing_) sendCloseNotify();
  }

  void sendCloseNotify() {
    std::error_code ignored;
    socket().cancel(ignored);  // the pending read; the shutdown reads the peer's answer itself
    std::get<TlsStream>(stream_).async_shutdown([self = shared_from_this()](std::error_code) {
      if (self->state_ == State::closing) self->endClose();
    });
  }

  void endClose() {
    state_ = State::ended;
    closeSocket();
  }

  void closeSocket() {
    timer_.cancel();
    std::error_code ignored;
    socket().close(ignored);
    dropWrites();
  }

  void dropWrites() {
    for (const auto& write : writes_) queued_ -= write.frame->size();
    writes_.clear();
    writing_ = false;
  }

  void updateCongestion() {
    const bool congested = congested_ ? writes_.size() > 1
                                      : writes_.size() > callbacks_.congestionFrames;
    if (congested == congested_) return;
    congested_ = congested;
    if (!detached_ && callbacks_.onCongestion) callbacks_.onCongestion(congested);
  }

  template <class Handler>
  void readSome(Handler&& handler) {
    std::visit([&](auto& s) { s.async_read_some(asio::buffer(readBuffer_.get(), kReadChunk), handler); },
               stream_);
  }

  void readNext() {
    readSome([self = shared_from_this()](std::error_code ec, std::size_t n) {
      if (self->state_ != State::ready) return;
      self->inbound_.append(ByteView(self->readBuffer_.get(), n));
      if (!self->deliverFrames()) return;
      if (ec) {
        // A broken link is logged with its reason (a vanished peer's keepalive timed out).
        if (!isOrderlyEnd(ec)) return self->fail(ec);
        self->state_ = State::ended;
        self->closeSocket();
        self->report({});
        return;
      }
      self->readNext();
    });
  }

  // Hands every complete frame to onMessage; false when the stream had to be given up.
  bool deliverFrames() {
    for (;;) {
      auto result = inbound_.next();
      if (auto* message = std::get_if<FrameExtractor::Message>(&result)) {
        if (!detached_ && callbacks_.onMessage) {
          callbacks_.onMessage(message->type, std::move(message->payload));
        }
        if (state_ != State::ready) return false;  // the consumer cancelled us
        continue;
      }
      if (std::holds_alternative<FrameExtractor::Oversize>(result)) {
        // Buffering a frame this large would let any peer exhaust our memory.
        fail(std::make_error_code(std::errc::message_size));
        return false;
      }
      return true;
    }
  }

  void writeNext() {
    if (state_ != State::ready || writing_ || writes_.empty()) return;
    writing_ = true;
    writeStarted_ = std::chrono::steady_clock::now();
    if (!stallWatched_) watchStall(writeStarted_ + callbacks_.stallTimeout);
    auto frame = writes_.front().frame;
    auto done = [self = shared_from_this(), frame](std::error_code ec, std::size_t) {
      if (!self->writing_ || self->writes_.empty() || self->writes_.front().frame != frame) return;
      self->queued_ -= frame->size();
      const auto written = std::move(self->writes_.front().written);
      self->writes_.pop_front();
      self->writing_ = false;
      if (!ec && written) written();
      if (self->state_ == State::closing) {
        if (ec) {
          self->endClose();
        } else {
          self->sendCloseNotify();
        }
        return;
      }
      self->updateCongestion();
      // A failing socket is reported by the read side; the frames left are dropped.
      if (ec) {
        self->dropWrites();
        return;
      }
      self->writeNext();
    };
    std::visit([&](auto& s) { asio::async_write(s, asio::buffer(*frame), done); }, stream_);
  }

  // One timer for the whole ready life: it looks again when the write now under way may
  // have run out of time, and lets go when nothing is being written.
  void watchStall(std::chrono::steady_clock::time_point deadline) {
    stallWatched_ = true;
    timer_.expires_at(deadline);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      self->stallWatched_ = false;
      if (ec || self->state_ != State::ready || !self->writing_) return;
      const auto deadline = self->writeStarted_ + self->callbacks_.stallTimeout;
      if (std::chrono::steady_clock::now() >= deadline) {
        self->fail(std::make_error_code(std::errc::timed_out));
      } else {
        self->watchStall(deadline);
      }
    });
  }

  std::shared_ptr<TlsContext> tls_;
  asio::steady_timer timer_;
  Stream stream_;
  Callbacks callbacks_;
  State state_ = State::idle;
  bool cancelled_ = false;
  bool handshakeTimedOut_ = false;
  bool heard_ = false;  // the peer sent something during the handshake
  std::function<void(std::error_code)> handshakeDone_;
  std::atomic<bool> detached_{false};
  std::atomic<std::size_t> queued_{0};
  struct Write {
    std::shared_ptr<Bytes> frame;
    std::function<void()> written;
  };
  std::deque<Write> writes_;
  bool writing_ = false;
  bool congested_ = false;
  bool stallWatched_ = false;
  std::chrono::steady_clock::time_point writeStarted_;
  std::unique_ptr<std::uint8_t[]> readBuffer_;
  FrameExtractor inbound_;
};

MessageChannel::MessageChannel(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls) {
  std::error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  if (!ec) remoteEndpoint_ = describe(peer);
  core_ = std::make_shared<Core>(std::move(socket), std::move(tls));
}

MessageChannel::~MessageChannel() { core_->detach(); }

void MessageChannel::handshake(std::function<void(std::error_code)> done) {
  core_->handshake(std::move(done));
}

void MessageChannel::start() {
  core_->start({onMessage, onClose, onReady, onCongestion, congestionFrames, maxInboundPayload, stallTimeout});
}

void MessageChannel::send(MessageType type, ByteView payload) { send(type, payload, nullptr); }

void MessageChannel::send(MessageType type, ByteView payload, std::function<void()> written) {
  core_->send(std::make_shared<Bytes>(encodeFrame(type, payload)), std::move(written));
}

void MessageChannel::cancel() { core_->cancel(); }

std::size_t MessageChannel::queuedBytes() const { return core_->queued(); }

MessageChannel::Progress MessageChannel::handshakeProgress() const { return core_->progress(); }

std::optional<std::chrono::steady_clock::time_point> MessageChannel::identifiedAt() const {
  return core_->identifiedAt();
}

}  // namespace quorin
