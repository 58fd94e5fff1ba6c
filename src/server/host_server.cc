#include "server/host_server.h"

#include <sys/socket.h>

#include <cstdio>

#include <asio/post.hpp>

#include "base/log.h"
#include "server/system_controller.h"
#include "transport/pending_handshakes.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {
namespace {

// A small kernel send buffer keeps the backlog in our queue, where the congestion signal can
// see it, instead of hiding a second of video inside the socket.
constexpr int kSendBufferBytes = 64 * 1024;

}  // namespace

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
  // The listener is closed on its own thread before that thread is joined.
  asio::post(io_.context(), [listener = std::move(listener_), handshakes = std::move(handshakes_)] {
    if (listener) listener->close();
    if (handshakes) handshakes->clear();
  });
  // Lets the last client's close_notify go out.
  io_.finish(MessageChannel::kCloseTimeout + std::chrono::milliseconds(100));
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
    setLastError(env_.identity->problem());
    return;
  }
  const SecureChannel::Parameters parameters = SecureChannel::parameters(*key);

  auto listener = std::make_shared<TcpListener>(io_.context());
  if (const std::error_code ec = listener->open(env_.port)) {
    setLastError(ec.message());  // nothing is held, so the next start tries again
    return;
  }
  listener_ = listener;
  listeningPort_ = listener->port();
  const std::uint64_t generation = ++listenerGeneration_;
  auto toMain = mainThreadPoster();
  // The key of this start, whatever resets come later.
  handshakes_ = std::make_shared<PendingHandshakes>(
      parameters.tls, PendingHandshakes::kDefaultLimits, [toMain, generation](std::unique_ptr<MessageChannel> channel) {
        toMain([generation, channel = std::shared_ptr<MessageChannel>(std::move(channel))](
                   HostServer& server) { server.acceptConnection(generation, channel); });
      });

  env_.advertiser->publish({env_.hostName(), std::string(kServiceType), listeningPort_});

  asio::post(io_.context(), [listener, handshakes = handshakes_, generation, toMain] {
    listener->startAccepting(
        [handshakes](asio::ip::tcp::socket socket) {
          const int sendBuffer = kSendBufferBytes;
          setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
          handshakes->admit(std::move(socket));
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
    asio::post(io_.context(), [listener = std::move(listener_), handshakes = std::move(handshakes_),
                               toMain = mainThreadPoster(), generation] {
      listener->close();
      handshakes->clear();
      toMain([generation](HostServer& server) {
        server.handleListenerState(generation, ListenerState::cancelled, {});
      });
    });
    listener_.reset();
    handshakes_.reset();
  }
  endSession();
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
        asio::post(io_.context(), [handshakes = std::move(handshakes_)] { handshakes->clear(); });
        listener_.reset();
      }
      break;
    case ListenerState::cancelled:
      setIsRunning(false);
      break;
  }
}

void HostServer::acceptConnection(std::uint64_t generation, std::shared_ptr<MessageChannel> channel) {
  // Ready just before a stop, or under the key of an earlier start.
  if (!listener_ || generation != listenerGeneration_) return;
  endSession();  // one client at a time: the paired newcomer replaces the current one
  ClientSession::Events events;
  events.closed = [this](ClientSession& session) { handleClose(session); };
  events.system = [this](ClientSession&, SystemCommand::Action action) {
    if (env_.systemController) env_.systemController->perform(action);
  };
  events.streaming = [this](ClientSession& session) {
    if (&session == session_.get()) setConnectedClient(session.remoteEndpoint());
  };
  // The one way a session's trouble reaches the user. A client without a screen to watch
  // has nothing left to do; the next one may try again.
  events.problem = [this](ClientSession& session, const std::string& sentence, bool over) {
    if (&session != session_.get()) return;
    setLastError(sentence);
    if (over) endSession();
  };
  session_ = std::make_unique<ClientSession>(std::move(channel), *env_.mainThread, std::move(events));
  // Let the queued work of the old session (its close report) drain before video starts.
  mainThreadPoster()([](HostServer& server) { server.beginStreaming(); });
}

void HostServer::beginStreaming() {
  if (!session_ || session_->isStreaming()) return;
  session_->beginStreaming(env_.desktop ? env_.desktop() : nullptr, streamSettings());
}

ClientSession::StreamSettings HostServer::streamSettings() const {
  ClientSession::StreamSettings settings;
  settings.fps = env_.fps;
  settings.bitrate = env_.bitrate;
  settings.hostName = env_.hostName();
  settings.monitor = env_.defaults->stringValue(kMonitorKey);
  const std::string size = env_.defaults->stringValue(kMaxStreamSizeKey);
  int width = 0;
  int height = 0;
  char rest = 0;
  if (std::sscanf(size.c_str(), "%dx%d%c", &width, &height, &rest) == 2 && width >= 160 && height >= 160) {
    settings.maxSize = {width, height};
  } else if (!size.empty()) {
    logLine("ignoring " + std::string(kMaxStreamSizeKey) + " \"" + size + "\" (WIDTHxHEIGHT, at least 160x160)");
  }
  return settings;
}

void HostServer::handleClose(ClientSession& session) {
  if (&session == session_.get()) endSession();
}

void HostServer::endSession() {
  if (session_) {
    // Ending the session lets go of its desktop, and of any button the client held down.
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
