#include "server/host_server.h"

#include <asio/post.hpp>

#include <algorithm>

#include "input/input_injector.h"
#include "server/system_controller.h"
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
  session_.reset();
  handshaking_.clear();
  // The listener is closed on its own thread before that thread is joined.
  asio::post(io_.context(), [listener = std::move(listener_)] {
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
  ClientSession::Events events;
  events.ready = [this](ClientSession& session) { handleReady(session); };
  events.closed = [this](ClientSession& session) { handleClose(session); };
  events.input = [this](ClientSession& session, const InputEvent& event) {
    if (&session == session_.get() && env_.injector) env_.injector->handle(event);
  };
  events.system = [this](ClientSession& session, SystemCommand::Action action) {
    if (&session == session_.get() && env_.systemController) env_.systemController->perform(action);
  };
  handshaking_.push_back(std::make_unique<ClientSession>(std::move(socket), listenerTls_,
                                                         *env_.mainThread, std::move(events)));
}

void HostServer::handleReady(ClientSession& session) {
  auto it = std::find_if(handshaking_.begin(), handshaking_.end(),
                         [&](const auto& s) { return s.get() == &session; });
  if (it == handshaking_.end()) return;
  auto ready = std::move(*it);
  handshaking_.erase(it);
  endSession();  // one client at a time: the paired newcomer replaces the current one
  session_ = std::move(ready);
  // Let the queued work of the old session (its close report) drain before video starts.
  mainThreadPoster()([](HostServer& server) { server.beginStreaming(); });
}

void HostServer::beginStreaming() {
  if (!session_ || session_->isStreaming() || !env_.capturer) return;
  ClientSession::StreamSettings settings{env_.fps, env_.bitrate, env_.hostName()};
  if (auto error = session_->beginStreaming(*env_.capturer, settings)) {
    setLastError(*error);  // the client stays connected without video
    return;
  }
  setConnectedClient(session_->remoteEndpoint());
}

void HostServer::handleClose(ClientSession& session) {
  if (&session == session_.get()) {
    endSession();
    return;
  }
  // A handshake that failed: nobody else's session is touched.
  std::erase_if(handshaking_, [&](const auto& s) { return s.get() == &session; });
}

void HostServer::endSession() {
  if (session_) {
    session_->end();
    session_.reset();
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
