#pragma once
// The one long-lived object that makes this computer reachable from a paired device: it owns
// the TLS listener on port 52877, the DNS-SD advertisement, the state the panel shows and the
// current client's connection.
//
// Thread: every method, every field and every observer call belongs to the main thread (the
// `mainThread` runner). The listener, handshakes and channel I/O run on the server's own
// "server" io thread and reach the main thread only as posted tasks that hold the server
// weakly, so nothing runs on a destroyed server.
//
// Clients: a new connection completes its TLS handshake on the server thread (see
// PendingHandshakes: a bounded number at a time, where a flooding or stalling stranger gives
// way before a phone);
// only a ready one reaches the main thread, where it replaces the current client. A
// connection that fails its handshake never touches the current client.
// The ready client gets a desktop session of its own (the chosen monitor, else the primary
// one, with its input) and that monitor as H.264, fitted into a stream no larger than the
// chosen size (video flows from the capture and encoder threads straight to the socket, never
// through the main thread), a greeting once capture runs, its system commands carried out on
// the main thread and its input on its desktop session's input thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/io_thread.h"
#include "base/task_runner.h"
#include "identity/host_identity.h"
#include "server/client_session.h"
#include "server/service_advertiser.h"
#include "server/user_defaults.h"

namespace quorin {

class DesktopEnvironment;
class MessageChannel;
class PendingHandshakes;
class SystemController;
class TcpListener;

class HostServer {
 public:
  static constexpr std::uint16_t kPort = 52877;
  static constexpr std::string_view kServiceType = "_quorinremote._tcp";
  static constexpr std::string_view kAutoStartKey = "QuorinAutoStart";
  // The monitor to share, by name ("DP-1"); empty or absent for the primary one.
  static constexpr std::string_view kMonitorKey = "QuorinMonitor";
  // The largest stream, as "WIDTHxHEIGHT"; absent for 1920x1080.
  static constexpr std::string_view kMaxStreamSizeKey = "QuorinMaxStreamSize";
  // Whether a desktop that can be shared without a dialog (GNOME, KDE) is shared through the
  // screen-sharing portal instead, which asks at the computer for each connection; absent for
  // false. The composition root reads it when it picks the desktop for a client.
  static constexpr std::string_view kAskBeforeConnectingKey = "QuorinAskBeforeConnecting";

  // What the composition root hands in; everything must outlive the server.
  struct Environment {
    TaskRunner* mainThread = nullptr;
    HostIdentity* identity = nullptr;
    UserDefaults* defaults = nullptr;
    ServiceAdvertiser* advertiser = nullptr;
    // What the next client sees and touches, asked at each connection (on the main thread),
    // so that a change of preference reaches the next client without a restart.
    std::function<std::shared_ptr<DesktopEnvironment>()> desktop;
    SystemController* systemController = nullptr;
    std::function<std::string()> hostName;  // advertised and greeted with, asked each time
    std::uint16_t port = kPort;             // tests may listen elsewhere
    int fps = 60;
    std::int64_t bitrate = 8'000'000;
  };

  enum class Property { isRunning, connectedClient, lastError, autoStart };
  using Observer = std::function<void(Property)>;

  // Reads "QuorinAutoStart" (writing true when absent) and starts when it is on.
  explicit HostServer(Environment environment);
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Listens and advertises, unless a listener is already held. Failures go to lastError.
  void start();
  // Stops listening and advertising and ends the current client's session.
  void stop();

  // True from a successful start() until stop() or a listener failure; false right after a
  // start() that could not listen (the reason is in lastError).
  bool hasListener() const { return listener_ != nullptr; }

  bool isRunning() const { return isRunning_; }
  const std::optional<std::string>& connectedClient() const { return connectedClient_; }
  const std::optional<std::string>& lastError() const { return lastError_; }
  bool autoStart() const { return autoStart_; }
  // Stored at every assignment; neither starts nor stops the listener.
  void setAutoStart(bool value);

  // Called on the main thread right after a published property was assigned (also when
  // the value did not change). Returns a token for removeObserver.
  int addObserver(Observer observer);
  void removeObserver(int token);

  // The port actually listened on (differs from the configured one only when that is 0).
  std::uint16_t listeningPort() const { return listeningPort_; }

 private:
  enum class ListenerState { ready, failed, cancelled };

  void setIsRunning(bool value);
  void setConnectedClient(std::optional<std::string> value);
  void setLastError(std::string value);
  void announce(Property property);

  // Runs tasks on the main thread for as long as the server exists; callable from any thread.
  using MainThreadPoster = std::function<void(std::function<void(HostServer&)>)>;
  MainThreadPoster mainThreadPoster() const;

  void handleListenerState(std::uint64_t generation, ListenerState state, std::error_code error);
  void acceptConnection(std::uint64_t generation, std::shared_ptr<MessageChannel> channel);
  void handleClose(ClientSession& session);
  void beginStreaming();
  void endSession();
  ClientSession::StreamSettings streamSettings() const;

  Environment env_;
  IoThread io_{"server"};
  std::shared_ptr<HostServer*> self_;  // weak handles to it guard posted tasks

  bool isRunning_ = false;
  std::optional<std::string> connectedClient_;
  std::optional<std::string> lastError_;
  bool autoStart_ = false;

  std::shared_ptr<TcpListener> listener_;
  std::shared_ptr<PendingHandshakes> handshakes_;  // used on the server thread only
  std::uint64_t listenerGeneration_ = 0;
  std::uint16_t listeningPort_ = 0;
  std::unique_ptr<ClientSession> session_;  // the ready client

  std::vector<std::pair<int, Observer>> observers_;
  int nextObserverToken_ = 0;
};

}  // namespace quorin
