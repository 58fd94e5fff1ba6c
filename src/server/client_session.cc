#include "server/client_session.h"

#include <utility>
#include <variant>

#include "base/log.h"
#include "base/stage_log.h"
#include "desktop/desktop_environment.h"
#include "desktop/desktop_session_request.h"
#include "protocol/json_codec.h"
#include "protocol/video_messages.h"
#include "server/input_inbox.h"
#include "transport/message_channel.h"
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
  // Input that came before the desktop session waits for it (in the inbox, within its
  // bounds); its arrival drains the inbox again.
  const auto until = std::chrono::steady_clock::now() + kSliceTime;
  const std::weak_ptr<ClientSession*> alive = self_;
  const std::shared_ptr<Events> events = events_;
  do {
    // Input waits in the inbox for the desktop, and while the desktop's input thread is
    // behind; system commands never wait.
    const bool inputGoes = desktopState_ != DesktopState::awaited && (!desktop_ || desktop_->acceptsInput());
    std::optional<InputInbox::Command> command;
    if (inputGoes) {
      command = inbox_->take();
    } else if (auto action = inbox_->takeSystem()) {
      command = *action;
    }
    if (!command) return;
    if (auto* event = std::get_if<InputEvent>(&*command)) {
      if (desktop_) desktop_->handle(*event);
    } else if (events->system) {
      events->system(*this, std::get<SystemCommand::Action>(*command));
    }
    if (alive.expired()) return;
  } while (std::chrono::steady_clock::now() < until);
  postDrain(mainThread_, self_);  // the rest after whatever else waits on the main thread
}

ClientSession::~ClientSession() { end(); }

void ClientSession::post(std::function<void(ClientSession&)> report) {
  mainThread_.post([weak = std::weak_ptr(self_), report = std::move(report)] {
    if (auto self = weak.lock()) report(**self);
  });
}

void ClientSession::beginStreaming(std::shared_ptr<DesktopEnvironment> desktop, const StreamSettings& settings) {
  if (!channel_ || request_ || desktop_) return;
  if (!desktop) {
    desktopState_ = DesktopState::unavailable;
    return postDrain(mainThread_, self_);
  }
  request_ = std::make_unique<DesktopSessionRequest>(
      std::move(desktop), settings.monitor, mainThread_,
      [weak = std::weak_ptr(self_), settings](DesktopEnvironment::Result result) {
        const auto self = weak.lock();
        if (!self) return;
        ClientSession& session = **self;
        session.desktopState_ = result.session ? DesktopState::ready : DesktopState::unavailable;
        postDrain(session.mainThread_, session.self_);
        if (result.session) return session.startVideo(std::move(result.session), settings);
        const std::shared_ptr<Events> events = session.events_;
        if (events->problem) events->problem(session, result.error.description, false);
      });
}

void ClientSession::startVideo(std::unique_ptr<DesktopSession> desktop, const StreamSettings& settings) {
  if (!channel_) return;
  desktop_ = std::move(desktop);
  desktop_->setInputRoomHandler([&mainThread = mainThread_, weak = std::weak_ptr(self_)] { postDrain(mainThread, weak); });
  const PictureSize stream = desktop_->chooseStreamSize(settings.maxSize);
  const PictureSize picture = desktop_->geometry().picture;
  logLine("streaming " + (desktop_->monitorName().empty() ? "the shared monitor" : desktop_->monitorName()) +
          " (" + std::to_string(picture.width) + "x" + std::to_string(picture.height) + ") at " +
          std::to_string(stream.width) + "x" + std::to_string(stream.height));

  auto encoder = std::make_shared<VideoEncoder>(stream.width, stream.height);
  encoder->onConfig = [channel = channel_](const VideoConfig& config) {
    channel->sendJSON(MessageType::videoConfig, config);
  };
  encoder->onFrame = [channel = channel_](const VideoFrameHeader& header, ByteView picture) {
    std::function<void()> written;
    if (StageLog::instance().enabled()) {
      written = [pts = std::chrono::microseconds(header.ptsMicros)] { StageLog::instance().mark("written", pts); };
    }
    channel->send(MessageType::videoFrame, videoFramePayload(header, picture), std::move(written));
  };
  gate_->attach(encoder);
  encoder->start(settings.bitrate, settings.fps);

  auto capture = std::make_unique<ScreenCaptureManager>(*encoder);
  capture->setEndHandler([this](const CaptureError& error) {
    post([description = error.description](ClientSession& session) {
      const std::shared_ptr<Events> events = session.events_;
      if (events->problem) events->problem(session, description, true);
    });
  });
  capture->setChangeHandler([this](const ScreenRect& area, PictureSize size) {
    post([area, size](ClientSession& session) mutable {
      if (!session.desktop_) return;
      const DesktopGeometry& before = session.desktop_->geometry();
      if (size.width <= 0 || size.height <= 0) size = before.picture;  // no picture yet
      if (before.picture != size) {
        logLine("the shared monitor is now " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                "; it goes on in the " + std::to_string(before.stream.width) + "x" +
                std::to_string(before.stream.height) + " stream");
      }
      session.desktop_->updateView(area, size);
    });
  });
  capture->start(desktop_->takeStream(), settings.fps);
  encoder_ = std::move(encoder);
  capture_ = std::move(capture);

  // The greeting reports the stream's size: what the client decodes and what its pointer
  // fractions are fractions of.
  channel_->sendJSON(MessageType::hello, HelloMessage{settings.hostName, stream.width, stream.height, "h264"});
  if (const std::shared_ptr<Events> events = events_; events->streaming) events->streaming(*this);
}

void ClientSession::end() {
  request_.reset();  // a portal dialog still open is withdrawn
  // A display that let a grab hang will not answer the input sink either.
  if (capture_ && capture_->stop() && desktop_) desktop_->cutInput();
  if (encoder_) encoder_->stop();
  gate_->attach(nullptr);
  if (channel_) channel_->cancel();
  capture_.reset();
  encoder_.reset();
  channel_.reset();
  desktop_.reset();  // lets go of whatever the client held down
}

const std::string& ClientSession::remoteEndpoint() const {
  static const std::string none;
  return channel_ ? channel_->remoteEndpoint() : none;
}

std::uint64_t ClientSession::skippedImages() const {
  return encoder_ ? encoder_->skippedImages() : 0;
}

}  // namespace quorin
