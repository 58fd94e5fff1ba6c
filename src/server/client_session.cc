#include "server/client_session.h"

#include <utility>
#include <variant>

#include "base/log.h"
#include "protocol/json_codec.h"
#include "protocol/video_messages.h"
#include "server/input_inbox.h"
#include "transport/message_channel.h"
#include "video/display_capturer.h"
#include "video/screen_capture_manager.h"
#include "video/video_encoder.h"

namespace quorin {

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

ClientSession::ClientSession(std::shared_ptr<MessageChannel> channel, TaskRunner& mainThread,
                             Events events)
    : mainThread_(mainThread),
      events_(std::make_shared<Events>(std::move(events))),
      self_(std::make_shared<ClientSession*>(this)),
      inbox_(std::make_shared<InputInbox>()),
      gate_(std::make_shared<CongestionGate>()),
      channel_(std::move(channel)) {
  channel_->maxInboundPayload = kMaxInboundPayload;
  // The owner ends the session on the main thread, if it still exists.
  auto reportClosed = [weak = std::weak_ptr(self_), &mainThread] {
    mainThread.post([weak] {
      if (auto self = weak.lock()) {
        ClientSession& session = **self;
        if (auto events = session.events_; events->closed) events->closed(session);
      }
    });
  };
  channel_->onClose = [reportClosed](std::error_code) { reportClosed(); };
  channel_->onMessage = [weak = std::weak_ptr(self_), &mainThread, inbox = inbox_, reportClosed](
                            MessageType type, Bytes payload) {
    std::optional<InputInbox::Command> command;
    if (type == MessageType::input) {
      if (auto event = json::decodeJson<InputEvent>(ByteView(payload))) command = std::move(*event);
    } else if (type == MessageType::system) {
      if (auto system = json::decodeJson<SystemCommand>(ByteView(payload))) command = system->action;
    }
    // hello, videoConfig, videoFrame and ping from a client mean nothing to the host.
    if (!command) return;
    switch (inbox->push(std::move(*command))) {
      case InputInbox::Pushed::drainWanted:
        return postDrain(mainThread, weak);
      case InputInbox::Pushed::endSession:
        logLine("the client sends more than can be carried out; ending its session");
        return reportClosed();
      case InputInbox::Pushed::queued:
      case InputInbox::Pushed::dropped:
        return;
    }
  };
  channel_->onCongestion = [gate = gate_](bool congested) { gate->set(congested); };
  channel_->start();
}

void ClientSession::postDrain(TaskRunner& mainThread, std::weak_ptr<ClientSession*> weak) {
  mainThread.post([weak] {
    if (auto self = weak.lock()) (*self)->drainInbox();
  });
}

void ClientSession::drainInbox() {
  const auto until = std::chrono::steady_clock::now() + kSliceTime;
  const std::weak_ptr<ClientSession*> alive = self_;
  const std::shared_ptr<Events> events = events_;
  do {
    auto command = inbox_->take();
    if (!command) return;
    if (auto* event = std::get_if<InputEvent>(&*command)) {
      if (events->input) events->input(*this, *event);
    } else if (events->system) {
      events->system(*this, std::get<SystemCommand::Action>(*command));
    }
    if (alive.expired()) return;
  } while (std::chrono::steady_clock::now() < until);
  postDrain(mainThread_, self_);  // the rest after whatever else waits on the main thread
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
  capture->setEndHandler([weak = std::weak_ptr(self_), &main = mainThread_](const CaptureError& error) {
    main.post([weak, description = error.description] {
      if (auto self = weak.lock()) {
        ClientSession& session = **self;
        const std::shared_ptr<Events> events = session.events_;
        if (events->captureEnded) events->captureEnded(session, description);
      }
    });
  });
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
