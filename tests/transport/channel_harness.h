#pragma once
// A real loopback pair for channel tests: a listener whose accepted sockets become server
// channels, and clients connected from a second io thread. Events are recorded per side.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/io_thread.h"
#include "transport/client_connector.h"
#include "transport/message_channel.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {

// What one channel reported, in order: "ready", "close:" + error text, "congested",
// "relieved", and the messages.
class Recorder {
 public:
  void attach(MessageChannel& channel) {
    channel.onReady = [this] { add("ready"); };
    channel.onClose = [this](std::error_code ec) { add("close:" + (ec ? ec.message() : "")); };
    channel.onCongestion = [this](bool congested) { add(congested ? "congested" : "relieved"); };
    channel.onMessage = [this](MessageType type, Bytes payload) {
      std::lock_guard lock(mutex_);
      messages_.push_back({type, std::move(payload)});
      events_.push_back("message");
      changed_.notify_all();
    };
  }
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  template <class Predicate>
  bool waitFor(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(events_, messages_); });
  }
  bool waitForEvent(const std::string& event,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return waitFor([&](auto& events, auto&) {
      return std::find(events.begin(), events.end(), event) != events.end();
    }, timeout);
  }
  bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitFor([&](auto&, auto& messages) { return messages.size() >= count; }, timeout);
  }
  // The first "close:" event, empty while there is none.
  std::string closeEvent() {
    std::lock_guard lock(mutex_);
    for (const auto& event : events_) {
      if (event.rfind("close:", 0) == 0) return event;
    }
    return {};
  }
  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::pair<MessageType, Bytes>> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<std::pair<MessageType, Bytes>> messages_;
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
  explicit ChannelHarness(std::shared_ptr<TlsContext> serverTls) : tls_(std::move(serverTls)) {
    std::error_code ec = listener_.open(0);
    EXPECT_FALSE(ec) << ec.message();
    server_.post([this] {
      listener_.startAccepting(
          [this](asio::ip::tcp::socket socket) {
            auto channel = std::make_shared<MessageChannel>(std::move(socket), tls_);
            serverSide.attach(*channel);
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

  // The first server-side channel, once one was accepted.
  std::shared_ptr<MessageChannel> serverChannel() {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard lock(mutex_);
        if (!serverChannels_.empty()) return serverChannels_.front();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
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
