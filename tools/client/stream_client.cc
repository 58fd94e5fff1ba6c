#include "client/stream_client.h"

#include <future>
#include <thread>

#include "transport/client_connector.h"
#include "transport/secure_channel.h"

namespace quorin {

StreamClient::StreamClient(Options options) : options_(std::move(options)) {}

StreamClient::~StreamClient() { stop(); }

void StreamClient::start() {
  video_.onAccessUnit = onAccessUnit;
  video_.onPicture = onPicture;
  io_.post([this] {
    connectChannel(io_.context(), options_.host, options_.port,
                   SecureChannel::clientContext(options_.key), options_.connectTimeout,
                   [this](std::error_code ec, std::unique_ptr<MessageChannel> channel) {
                     connected(ec, std::move(channel));
                   });
  });
}

void StreamClient::connected(std::error_code ec, std::unique_ptr<MessageChannel> channel) {
  if (stopped_) return;
  if (ec) {
    end(Outcome::connectFailed, ec.message());
    return;
  }
  channel_ = std::move(channel);
  channel_->onReady = [this] {
    readyAt_ = std::chrono::steady_clock::now();
    if (onReady) onReady();
  };
  channel_->onMessage = [this](MessageType type, Bytes payload) { receive(type, payload); };
  channel_->onClose = [this](std::error_code ec) { closed(ec); };
  channel_->start();
}

void StreamClient::receive(MessageType type, const Bytes& payload) {
  const std::size_t frameBytes = kFrameHeaderSize + payload.size();
  stats_.bytes += frameBytes;
  switch (type) {
    case MessageType::hello:
      // A greeting that cannot be read is left out, as the host drops unreadable input.
      if (auto hello = json::decodeJson<HelloMessage>(payload)) {
        stats_.hello = *hello;
        if (onHello) onHello(*hello);
      }
      break;
    case MessageType::videoConfig:
      video_.handleConfig(payload);
      break;
    case MessageType::videoFrame:
      video_.handleFrame(payload, std::chrono::steady_clock::now());
      ++framesReceived_;
      break;
    default:
      break;  // the host sends nothing else
  }
  if (options_.readRate > 0) keepPace(frameBytes);
}

void StreamClient::keepPace(std::size_t bytes) {
  paced_ += bytes;
  // The channel reads no more while this thread sleeps, so the socket fills up and TCP holds
  // the host back, as on a slow link.
  const std::chrono::duration<double> due(double(paced_) / double(options_.readRate));
  std::this_thread::sleep_until(*readyAt_ + std::chrono::duration_cast<std::chrono::nanoseconds>(due));
}

void StreamClient::closed(std::error_code ec) {
  if (!readyAt_) {
    end(Outcome::handshakeFailed, ec ? ec.message() : "the host closed the connection");
  } else {
    end(Outcome::closedByHost, ec ? ec.message() : "");
  }
}

void StreamClient::end(Outcome outcome, const std::string& detail) {
  if (endedAt_) return;  // a channel may report its end more than once
  endedAt_ = std::chrono::steady_clock::now();
  if (onEnd) onEnd(outcome, detail);
}

void StreamClient::send(const InputEvent& event) {
  io_.post([this, event] {
    if (channel_ && readyAt_ && !endedAt_) channel_->sendJSON(MessageType::input, event);
  });
}

void StreamClient::send(const SystemCommand& command) {
  io_.post([this, command] {
    if (channel_ && readyAt_ && !endedAt_) channel_->sendJSON(MessageType::system, command);
  });
}

void StreamClient::stop() {
  std::promise<void> done;
  io_.post([this, &done] {
    stopped_ = true;
    channel_.reset();  // closes quietly: no callback runs after this
    done.set_value();
  });
  done.get_future().wait();
}

StreamStats StreamClient::stats() {
  std::promise<StreamStats> result;
  io_.post([this, &result] {
    StreamStats stats = stats_;
    stats.video = video_.stats();
    if (readyAt_) {
      const SteadyTime until = endedAt_.value_or(std::chrono::steady_clock::now());
      stats.seconds = std::chrono::duration<double>(until - *readyAt_).count();
    }
    result.set_value(std::move(stats));
  });
  return result.get_future().get();
}

}  // namespace quorin
