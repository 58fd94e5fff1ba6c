#include "server/host_server.h"

#include <asio/post.hpp>

#include <algorithm>

#include "transport/message_channel.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {

HostServer::HostServer(Environment environment)
    : env_(std::move(environment)), self_(std::make_shared<HostServer*>(this)) {
  UserDefaults& defaults = *env_.defaults;
  if (!defaults.contains(kAutoStartKey)) defaults.setBool(kAutoStartKey, true);
  autoStart_ = defaults.boolValue(kAutoStartKey);
  // Reports arrive on the main thread, and the destructor removes the handler.
  env_.advertiser->setProblemHandler([this](const std::string& sentence) { setLastError(sentence); });
  if (autoStart_) start();
}

HostServer::~HostServer() {
  self_.reset();  // silences every task still queued for us
  env_.advertiser->setProblemHandler(nullptr);
  // Channels and the listener are closed on their own thread before it is joined.
  std::vector<std::shared_ptr<MessageChannel>> channels = std::move(handshaking_);
  if (channel_) channels.push_back(std::move(channel_));
  asio::post(io_.context(), [listener = std::move(listener_), channels = std::move(channels)] {
    if (listener) listener->close();
  });
}

void HostServer::setAutoStart(bool value) {
  autoStart_ = value;
  announce(Property::autoStart);
  env_.defaults->setBool(kAutoStartKey, value);
}

void HostServer::start() {
  if (listener_) return;
  const auto key = env_.identity->loadOrCreateKey();
  if (!key) {
    setLastError("The host key could not be created, so the host cannot accept connections.");
    return;
  }
  const SecureChannel::Parameters parameters = SecureChannel::parameters(*key);

  auto listener = std::make_shared<TcpListener>(io_.context());
  if (const std::error_code ec = listener->open(env_.port)) {
    setLastError(ec.message());  // nothing is held, so the next start tries again
    return;
  }
  listener_ = listener;
  listenerTls_ = parameters.tls;  // the key of this start, whatever resets come later
  listeningPort_ = listener->port();
  const std::uint64_t generation = ++listenerGeneration_;

  env_.advertiser->publish({env_.hostName(), std::string(kServiceType), listeningPort_});

  auto toMain = mainThreadPoster();
  asio::post(io_.context(), [listener, generation, toMain] {
    listener->startAccepting(
        [toMain](asio::ip::tcp::socket socket) {
          auto shared = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
          toMain([shared](HostServer& server) { server.acceptConnection(std::move(*shared)); });
        },
        [toMain, generation](std::error_code ec) {
          toMain([generation, ec](HostServer& server) {
            server.handleListenerState(generation, ListenerState::failed, ec);
          });
        });
    toMain([generation](HostServer& server) {
      server.handleListenerState(generation, ListenerState::ready, {});
    });
  });
}

void HostServer::stop() {
  if (listener_) {
    const std::uint64_t generation = listenerGeneration_;
    env_.advertiser->withdraw();
    asio::post(io_.context(),
               [listener = std::move(listener_), toMain = mainThreadPoster(), generation] {
                 listener->close();
                 toMain([generation](HostServer& server) {
                   server.handleListenerState(generation, ListenerState::cancelled, {});
                 });
               });
    listener_.reset();
  }
  endSession();
  for (auto& pending : handshaking_) pending->cancel();
  handshaking_.clear();
  setIsRunning(false);
}

HostServer::MainThreadPoster HostServer::mainThreadPoster() const {
  return [weak = std::weak_ptr(self_), main = env_.mainThread](std::function<void(HostServer&)> task) {
    main->post([weak, task = std::move(task)] {
      if (auto self = weak.lock()) task(**self);
    });
  };
}

void HostServer::handleListenerState(std::uint64_t generation, ListenerState state,
                                     std::error_code error) {
  // A report from a listener that was replaced since (stop, then start) is stale.
  if (generation != listenerGeneration_) return;
  switch (state) {
    case ListenerState::ready:
      if (listener_) setIsRunning(true);
      break;
    case ListenerState::failed:
      setLastError(error.message());
      setIsRunning(false);
      // Release the failed listener so that the next start can listen again.
      if (listener_) {
        env_.advertiser->withdraw();
        listener_.reset();
      }
      break;
    case ListenerState::cancelled:
      setIsRunning(false);
      break;
  }
}

void HostServer::acceptConnection(asio::ip::tcp::socket socket) {
  if (!listener_) return;  // accepted just before a stop
  if (handshaking_.size() >= kMaxHandshakes) {
    std::error_code ignored;
    socket.close(ignored);
    return;
  }
  auto channel = std::make_shared<MessageChannel>(std::move(socket), listenerTls_);
  const MessageChannel* raw = channel.get();
  auto toMain = mainThreadPoster();
  channel->onReady = [toMain, raw] {
    toMain([raw](HostServer& server) { server.handleReady(raw); });
  };
  channel->onClose = [toMain, raw](std::error_code) {
    toMain([raw](HostServer& server) { server.handleClose(raw); });
  };
  handshaking_.push_back(channel);
  channel->start();
}

void HostServer::handleReady(const MessageChannel* channel) {
  auto it = std::find_if(handshaking_.begin(), handshaking_.end(),
                         [&](const auto& c) { return c.get() == channel; });
  if (it == handshaking_.end()) return;  // cancelled while the report was on its way
  auto ready = std::move(*it);
  handshaking_.erase(it);
  endSession();  // one client at a time: the paired newcomer replaces the current one
  channel_ = std::move(ready);
}

void HostServer::handleClose(const MessageChannel* channel) {
  if (channel_ && channel_.get() == channel) {
    endSession();
    return;
  }
  // A handshake that failed, or a late report from a channel already replaced: no session
  // of anyone else is touched.
  std::erase_if(handshaking_, [&](const auto& c) { return c.get() == channel; });
}

void HostServer::endSession() {
  if (channel_) {
    channel_->cancel();
    channel_.reset();
  }
  setConnectedClient(std::nullopt);
}

void HostServer::setIsRunning(bool value) {
  isRunning_ = value;
  announce(Property::isRunning);
}

void HostServer::setConnectedClient(std::optional<std::string> value) {
  connectedClient_ = std::move(value);
  announce(Property::connectedClient);
}

void HostServer::setLastError(std::string value) {
  lastError_ = std::move(value);
  announce(Property::lastError);
}

void HostServer::announce(Property property) {
  // Copy: an observer may add or remove observers.
  const auto observers = observers_;
  for (const auto& [token, observer] : observers) observer(property);
}

int HostServer::addObserver(Observer observer) {
  observers_.emplace_back(++nextObserverToken_, std::move(observer));
  return nextObserverToken_;
}

void HostServer::removeObserver(int token) {
  std::erase_if(observers_, [&](const auto& entry) { return entry.first == token; });
}

}  // namespace quorin
