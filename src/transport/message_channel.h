#pragma once
// One framed connection to a client (or, in the reference client, to a host).
//
// Threads: all callbacks run on the io_context thread that owns the socket (the host's
// "server" thread), one at a time. send(), sendJSON(), cancel() and queuedBytes() may be
// called from any thread; frames sent from one thread leave in the order sent, each as one
// contiguous write.
//
// Life cycle: construct around a connected socket, set the callbacks, start(). The
// handshake (TLS, or nothing for plain TCP) must finish within 10 s, and a TLS server
// must see the peer's first bytes within 2 s. Then onReady runs
// once, before any onMessage; inbound frames are cut and delivered in stream order; the
// end (peer closed, error, failure, cancel) is reported through onClose, with an empty
// error code for an orderly end or a cancel. onClose may run more than once (for example
// the peer's end and later a cancel); the owner decides what a repeat means.
// cancel() on a ready TLS channel sends close_notify (waiting at most 1 s for the write in
// progress and the peer's answer) before closing, so the peer can tell an ended session from
// a broken link; a peer that closes without close_notify is reported as an error.
// Destroying the channel closes the connection quietly: no callback runs afterwards (a
// close_notify already under way still completes).
// A ready channel whose peer takes `stallTimeout` over one frame (it stopped reading) is
// ended with a timed_out error, so a frozen client does not keep its session for ever.
//
// Log lines: "connection setup", "connection preparing (resolving + handshake)",
// "connection READY", "connection FAILED — <error>", "connection cancelled". A TLS server
// logs nothing until the handshake succeeded: anyone can make handshakes fail by the
// thousand, so counting those is left to the owner (PendingHandshakes sums them up).

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "base/bytes.h"
#include "protocol/frame.h"
#include "protocol/json_codec.h"
#include "protocol/message_type.h"
#include "transport/tls_context.h"

namespace quorin {

class MessageChannel {
 public:
  // `tls` empty: plain TCP. The context's role decides which side of the handshake we play.
  MessageChannel(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls);
  ~MessageChannel();
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  // Set before start(); later changes are not seen.
  std::function<void(MessageType, Bytes)> onMessage;
  std::function<void(std::error_code)> onClose;
  std::function<void()> onReady;
  // Called on the io thread with true once more than `congestionFrames` frames wait to be
  // written, and with false once the backlog is down to one frame again. Lets a producer
  // hold back new data on a slow link instead of queueing without bound.
  std::function<void(bool congested)> onCongestion;
  std::size_t congestionFrames = 2;
  // Inbound frames announcing a larger payload end the connection.
  std::size_t maxInboundPayload = FrameExtractor::kDefaultMaxPayload;
  std::chrono::milliseconds stallTimeout = kStallTimeout;

  // Runs the handshake alone, without reading: `done` gets an empty error once it succeeded
  // (then start() makes the channel ready at once) or the failure (the channel is over).
  // Lets a listener vet a connection before anyone sets the callbacks.
  void handshake(std::function<void(std::error_code)> done);
  void start();
  void send(MessageType type, ByteView payload);
  // As above; `written` then runs on the io thread once the socket has taken the whole frame
  // (never when the frame is dropped).
  void send(MessageType type, ByteView payload, std::function<void()> written);
  // Encodes with the JSON conventions; a record that cannot be encoded is dropped silently.
  template <class Record>
  void sendJSON(MessageType type, const Record& record) {
    if (auto text = json::encodeJson(record)) send(type, bytesOf(*text));
  }
  void cancel();

  // How far a handshake under way got: nothing heard yet, some bytes, or (TLS server) the
  // client presented the accepted identity. Call on the io thread, during handshake().
  enum class Progress { silent, spoke, identified };
  Progress handshakeProgress() const;
  // When the client presented the identity (TLS server), if it did. Same thread as above.
  std::optional<std::chrono::steady_clock::time_point> identifiedAt() const;

  // Bytes handed to send() that the socket has not yet taken.
  std::size_t queuedBytes() const;
  // "address:port" of the peer ("[v6 address]:port" for IPv6), fixed at construction.
  const std::string& remoteEndpoint() const { return remoteEndpoint_; }

  static constexpr std::chrono::seconds kHandshakeTimeout{10};
  static constexpr std::chrono::seconds kFirstBytesTimeout{2};
  static constexpr std::chrono::seconds kCloseTimeout{1};
  static constexpr std::chrono::seconds kStallTimeout{30};
  // Allocated once the channel is ready, so that connections still in their handshake
  // cost little.
  static constexpr std::size_t kReadChunk = 256 * 1024;

 private:
  class Core;
  std::shared_ptr<Core> core_;
  std::string remoteEndpoint_;
};

}  // namespace quorin
