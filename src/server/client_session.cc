#include "server/client_session.h"

#include <sys/socket.h>

#include "protocol/json_codec.h"
#include "protocol/video_messages.h"
#include "transport/message_channel.h"
#include "video/display_capturer.h"
#include "video/screen_capture_manager.h"
#include "video/video_encoder.h"

namespace quorin {
namespace {

// A small kernel send buffer keeps the backlog in our queue, where the congestion signal can
// see it, instead of hiding a second of video inside the socket.
constexpr int kSendBufferBytes = 64 * 1024;

// Input and system messages are a few hundred bytes; a JSON document of many megabytes (deeply
// nested arrays, say) would cost far more memory to parse than to receive, so it is dropped
// unread like any other message that does not decode.
constexpr std::size_t kMaxControlPayload = 1 << 20;

}  // namespace

void ClientSession::CongestionGate::set(bool value) {
  std::lock_guard lock(mutex);
  congested = value;
  if (encoder) encoder->setBackPressure(value);
}

void ClientSession::CongestionGate::attach(std::shared_ptr<VideoEncoder> value) {
  std::lock_guard lock(mutex);
  encoder = std::move(value);
  if (encoder) encoder->setBackPressure(congested);
}

ClientSession::ClientSession(asio::ip::tcp::socket socket, std::shared_ptr<TlsContext> tls,
                             TaskRunner& mainThread, Events events)
    : self_(std::make_shared<ClientSession*>(this)), gate_(std::make_shared<CongestionGate>()) {
  const int sendBuffer = kSendBufferBytes;
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  channel_ = std::make_shared<MessageChannel>(std::move(socket), std::move(tls));

  // Every report reaches the main thread, and the session only if it still exists there.
  auto toMain = [weak = std::weak_ptr(self_), &mainThread,
                 events = std::make_shared<Events>(std::move(events))](auto call) {
    mainThread.post([weak, events, call = std::move(call)] {
      if (auto self = weak.lock()) call(*events, **self);
    });
  };
  channel_->onReady = [toMain] {
    toMain([](Events& e, ClientSession& s) { if (e.ready) e.ready(s); });
  };
  channel_->onClose = [toMain](std::error_code) {
    toMain([](Events& e, ClientSession& s) { if (e.closed) e.closed(s); });
  };
  channel_->onMessage = [toMain](MessageType type, Bytes payload) {
    if (payload.size() > kMaxControlPayload) return;
    if (type == MessageType::input) {
      if (auto event = json::decodeJson<InputEvent>(ByteView(payload))) {
        toMain([event = *event](Events& e, ClientSession& s) { if (e.input) e.input(s, event); });
      }
    } else if (type == MessageType::system) {
      if (auto command = json::decodeJson<SystemCommand>(ByteView(payload))) {
        toMain([action = command->action](Events& e, ClientSession& s) {
          if (e.system) e.system(s, action);
        });
      }
    }
    // hello, videoConfig, videoFrame and ping from a client mean nothing to the host.
  };
  channel_->onCongestion = [gate = gate_](bool congested) { gate->set(congested); };
  channel_->start();
}

ClientSession::~ClientSession() { end(); }

std::optional<std::string> ClientSession::beginStreaming(DisplayCapturer& capturer,
                                                         const StreamSettings& settings) {
  if (!channel_ || capture_) return std::nullopt;
  const ShareableContent content = capturer.shareableContent();
  if (content.error) return content.error->description;
  if (content.displays.empty()) return "No display found.";
  const ScreenRect display = content.displays.front();

  auto encoder = std::make_shared<VideoEncoder>(display.width, display.height);
  encoder->onConfig = [channel = channel_](const VideoConfig& config) {
    channel->sendJSON(MessageType::videoConfig, config);
  };
  encoder->onFrame = [channel = channel_](const VideoFrameHeader& header, ByteView picture) {
    channel->send(MessageType::videoFrame, videoFramePayload(header, picture));
  };
  gate_->attach(encoder);
  encoder->start(settings.bitrate, settings.fps);

  auto capture = std::make_unique<ScreenCaptureManager>(*encoder, capturer);
  if (auto error = capture->start(settings.fps)) {
    gate_->attach(nullptr);
    return error->description;  // the encoder and capture go with this scope
  }
  encoder_ = std::move(encoder);
  capture_ = std::move(capture);

  channel_->sendJSON(MessageType::hello,
                     HelloMessage{settings.hostName, display.width, display.height, "h264"});
  return std::nullopt;
}

void ClientSession::end() {
  if (capture_) capture_->stop();
  if (encoder_) encoder_->stop();
  gate_->attach(nullptr);
  if (channel_) channel_->cancel();
  capture_.reset();
  encoder_.reset();
  channel_.reset();
}

const std::string& ClientSession::remoteEndpoint() const {
  static const std::string none;
  return channel_ ? channel_->remoteEndpoint() : none;
}

std::uint64_t ClientSession::skippedImages() const {
  return encoder_ ? encoder_->skippedImages() : 0;
}

}  // namespace quorin
