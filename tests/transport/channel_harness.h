#pragma once
// A real loopback pair for channel tests: a listener whose accepted sockets become server
// channels, and clients connected from a second io thread. Events are recorded per side.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "base/io_thread.h"
#include "transport/client_connector.h"
#include "transport/message_channel.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {

// What one channel reported, in order: "ready", "close:" + error text, "congested",
// "relieved", and "message" for each message, whose contents are in messages().
class Recorder {
 public:
  using Message = std::pair<MessageType, Bytes>;

  void attach(MessageChannel& channel) {
    channel.onReady = [this] { add("ready"); };
    channel.onClose = [this](std::error_code ec) { add("close:" + (ec ? ec.message() : "")); };
    channel.onCongestion = [this](bool congested) { add(congested ? "congested" : "relieved"); };
    channel.onMessage = [this](MessageType type, Bytes payload) { add("message", {{type, std::move(payload)}}); };
  }
  // `done(events, messages)` decides.
  template <class Predicate>
  bool waitFor(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(events_, messages_); });
  }
  bool waitForEvent(const std::string& event, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return waitFor([&](auto& events, auto&) { return std::ranges::count(events, event) > 0; }, timeout);
  }
  bool waitForEvents(std::size_t count) {
    return waitFor([&](auto& events, auto&) { return events.size() >= count; });
  }
  bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitFor([&](auto&, auto& messages) { return messages.size() >= count; }, timeout);
  }
  // The first "close:" event, empty while there is none.
  std::string closeEvent() {
    std::lock_guard lock(mutex_);
    const auto close = std::ranges::find_if(events_, [](auto& e) { return e.starts_with("close:"); });
    return close == events_.end() ? "" : *close;
  }
  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<Message> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  void add(std::string event, std::optional<Message> message = {}) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    if (message) messages_.push_back(std::move(*message));
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<Message> messages_;
};

// A client channel connected from `io` to 127.0.0.1:`port`, recorded by `recorder` and
// started; nullptr when the TCP connection itself failed.
inline std::unique_ptr<MessageChannel> connectRecorded(IoThread& io, std::uint16_t port,
                                                       std::shared_ptr<TlsContext> tls,
                                                       Recorder& recorder) {
  std::promise<std::unique_ptr<MessageChannel>> result;
  connectChannel(io.context(), "127.0.0.1", port, std::move(tls), std::chrono::seconds(5),
                 [&](std::error_code, std::unique_ptr<MessageChannel> channel) {
                   result.set_value(std::move(channel));
                 });
  auto channel = result.get_future().get();
  if (channel) {
    recorder.attach(*channel);
    channel->start();
  }
  return channel;
}

class ChannelHarness {
 public:
  explicit ChannelHarness(std::shared_ptr<TlsContext> serverTls,
                          std::chrono::milliseconds stallTimeout = MessageChannel::kStallTimeout)
      : tls_(std::move(serverTls)) {
    EXPECT_FALSE(listener_.open(0));
    server_.post([this, stallTimeout] {
      listener_.startAccepting(
          [this, stallTimeout](asio::ip::tcp::socket socket) {
            auto channel = std::make_shared<MessageChannel>(std::move(socket), tls_);
            serverSide.attach(*channel);
            channel->stallTimeout = stallTimeout;
            std::lock_guard lock(mutex_);
            serverChannels_.push_back(channel);
            channel->start();
          },
          nullptr);
    });
  }
  ~ChannelHarness() {
    std::promise<void> closed;
    server_.post([&] {
      listener_.close();
      closed.set_value();
    });
    closed.get_future().wait();
    dropServerChannels();
  }

  std::uint16_t port() const { return listener_.port(); }

  // The first accepted channel: there is one once serverSide recorded anything.
  std::shared_ptr<MessageChannel> serverChannel() {
    std::lock_guard lock(mutex_);
    return serverChannels_.empty() ? nullptr : serverChannels_.front();
  }
  void dropServerChannels() {
    std::lock_guard lock(mutex_);
    serverChannels_.clear();
  }

  // A started client channel (or null when the TCP connect itself failed).
  std::unique_ptr<MessageChannel> connect(std::shared_ptr<TlsContext> clientTls, Recorder& recorder) {
    return connectRecorded(client_, port(), std::move(clientTls), recorder);
  }
  Recorder serverSide;

 private:
  std::shared_ptr<TlsContext> tls_;
  IoThread server_{"server"};
  IoThread client_{"client"};
  TcpListener listener_{server_.context()};
  std::mutex mutex_;
  std::vector<std::shared_ptr<MessageChannel>> serverChannels_;
};

}  // namespace quorin
