#include "server/host_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "base/event_loop.h"
#include "fakes/fake_command_runner.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_service_advertiser.h"
#include "fakes/fake_user_defaults.h"
#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"
#include "identity/keychain_store.h"
#include "desktop/fake_desktop_environment.h"
#include "input/recording_event_sink.h"
#include "server/client_session.h"
#include "server/file_user_defaults.h"
#include "server/system_controller.h"
#include "transport/channel_harness.h"
#include "transport/pending_handshakes.h"
#include "transport/secure_channel.h"
#include "transport/tcp_listener.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A HostServer on a free port with fake backends and a recording input sink that outlives
// the sessions posting to it; the test's thread runs its main loop, and clients connect from
// a thread of their own.
class HostServerTest : public ::testing::Test {
 protected:
  HostServerTest() { KeychainStore::setBackend(keyring); }
  ~HostServerTest() override {
    server.reset();
    KeychainStore::setBackend(nullptr);
  }

  // Constructed as the application does: it starts at once unless the preference says no.
  void makeServer(std::uint16_t port = 0) {
    if (!desktop.makeSink) postTo(*sink);
    server = std::make_unique<HostServer>(HostServer::Environment{
        .mainThread = &main, .identity = &identity, .defaults = &defaults, .advertiser = &advertiser,
        .desktop = [this] { return served; }, .systemController = &systemController,
        .hostName = [] { return std::string("Test Host"); }, .port = port});
    server->addObserver([this](HostServer::Property p) { changes.push_back(p); });
  }
  bool pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    return main.runUntil(done, limit);
  }
  // A started client (with the host's key unless told otherwise), once it is ready or closed.
  std::unique_ptr<MessageChannel> connect(Recorder& recorder, std::optional<Bytes> withKey = {}) {
    const Bytes key = withKey.value_or(*identity.loadOrCreateKey());
    auto channel = connectRecorded(clientThread, server->listeningPort(), SecureChannel::clientContext(key), recorder);
    EXPECT_TRUE(channel);
    pump([&] { return !recorder.events().empty(); });
    return channel;
  }
  bool received(Recorder& recorder, MessageType type) {
    return pump([&] { return std::ranges::count(recorder.messages(), type, &Recorder::Message::first) > 0; });
  }

  std::shared_ptr<FakeSecretBackend> keyring = std::make_shared<FakeSecretBackend>();
  EventLoop main;
  HostIdentity identity{SecureChannel::generateKey, [] { return std::string("Test Host"); }};
  FakeUserDefaults defaults;
  FakeServiceAdvertiser advertiser;
  // Each session's sink forwards to `sink`, from the session's input thread, under a lock
  // that posted() takes on the test's thread.
  struct Forward final : EventSink {
    Forward(EventSink& to, std::mutex& mutex) : to(to), mutex(mutex) {}
    template <class Call>
    auto locked(Call&& call) {
      std::lock_guard lock(mutex);
      return call();
    }
    std::optional<ScreenRect> screenFrame() override { return locked([&] { return to.screenFrame(); }); }
    void movePointer(int x, int y) override { locked([&] { to.movePointer(x, y); }); }
    void setButton(MouseButton button, bool down) override { locked([&] { to.setButton(button, down); }); }
    void pressKey(SpecialKey key, const Modifiers& modifiers) override {
      locked([&] { to.pressKey(key, modifiers); });
    }
    void typeText(std::u32string_view text, const Modifiers& modifiers) override {
      locked([&] { to.typeText(text, modifiers); });
    }
    void finish() override { locked([&] { to.finish(); }); }
    EventSink& to;
    std::mutex& mutex;
  };
  void postTo(EventSink& target) {
    desktop.makeSink = [this, &target] { return std::make_unique<Forward>(target, sinkMutex); };
  }
  // What the sessions posted so far.
  std::vector<std::string> posted() {
    std::lock_guard lock(sinkMutex);
    return sink->posted;
  }

  std::shared_ptr<FakeDesktopEnvironment> desktopOwner = std::make_shared<FakeDesktopEnvironment>();
  FakeDesktopEnvironment& desktop = *desktopOwner;
  std::shared_ptr<DesktopEnvironment> served = desktopOwner;  // what the server is handed now
  std::mutex sinkMutex;
  std::unique_ptr<RecordingEventSink> recording = std::make_unique<RecordingEventSink>();
  RecordingEventSink* sink = recording.get();
  FakeCommandRunner runner;
  SystemController systemController{runner};
  std::vector<HostServer::Property> changes;
  IoThread clientThread{"client"};
  std::unique_ptr<HostServer> server;
};

TEST_F(HostServerTest, StoredFalseIsRespectedAndFailuresBecomeTheLastErrorUntilALaterStartRecovers) {
  defaults.setBool(HostServer::kAutoStartKey, false);
  defaults.writes = 0;
  auto blocker = std::make_unique<asio::ip::tcp::acceptor>(
      clientThread.context(), asio::ip::tcp::endpoint(asio::ip::address_v6::any(), 0));
  makeServer(blocker->local_endpoint().port());
  main.runFor(50ms);
  server->setAutoStart(false);  // every assignment is stored, none starts anything
  server->setAutoStart(true);
  EXPECT_EQ(defaults.writes, 2) << "the stored value is not rewritten at launch";
  EXPECT_TRUE(defaults.boolValue(HostServer::kAutoStartKey));
  EXPECT_FALSE(server->isRunning());
  changes.clear();
  server->stop();  // nothing to stop, yet both are announced again
  EXPECT_EQ(changes, (std::vector{HostServer::Property::connectedClient, HostServer::Property::isRunning}));

  // A key that cannot be read now is not replaced: nothing starts, and Start tries again.
  keyring->items["host-key"] = Bytes(32, 7);
  keyring->failLoads = true;
  server->start();
  EXPECT_EQ(server->lastError(), "The host key cannot be read now: the fake keyring is locked. No new key is "
                                  "made, so paired devices work again once it can be read.");
  keyring->failLoads = false;
  server->start();
  EXPECT_EQ(server->lastError(), "Address already in use");
  EXPECT_FALSE(server->isRunning());
  EXPECT_TRUE(advertiser.history.empty());
  EXPECT_EQ(keyring->items["host-key"], Bytes(32, 7));
  blocker.reset();
  server->start();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  EXPECT_EQ(server->lastError(), "Address already in use") << "nothing clears the last error";
  advertiser.reportProblem("Advertising is unavailable.");
  EXPECT_EQ(server->lastError(), "Advertising is unavailable.");
  EXPECT_TRUE(server->isRunning()) << "clients can still connect by address";
}

// Strangers (a key the host does not use yet, sockets that never speak, all from the client's
// own address) must neither disturb the current client nor keep a paired newcomer out.
TEST_F(HostServerTest, ListensOnceReadyAndOnlyAPairedNewcomerReplacesTheClientAndAKeyResetWaitsForARestart) {
  makeServer();
  EXPECT_TRUE(defaults.boolValue(HostServer::kAutoStartKey)) << "a first launch stores the default";
  EXPECT_FALSE(server->isRunning()) << "running is only reported by the listener";
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  EXPECT_EQ(advertiser.published, (ServiceDescription{"Test Host", "_quorinremote._tcp", server->listeningPort()}));
  server->start();  // already listening: nothing happens
  EXPECT_EQ(advertiser.history.size(), 1u);

  const Bytes oldKey = *identity.loadOrCreateKey();
  Recorder first;
  auto firstChannel = connect(first);
  ASSERT_EQ(first.events().front(), "ready");
  identity.resetKey();
  ASSERT_NE(oldKey, *identity.loadOrCreateKey());

  Recorder stranger;
  auto strangerChannel = connect(stranger);
  EXPECT_NE(stranger.events().front(), "ready");
  std::vector<asio::ip::tcp::socket> silent;
  for (int i = 0; i < 12; ++i) {
    silent.emplace_back(clientThread.context());
    silent.back().connect({asio::ip::make_address("127.0.0.1"), server->listeningPort()});
  }
  main.runFor(200ms);
  EXPECT_EQ(first.closeEvent(), "") << "strangers must not disturb";

  Recorder second;
  auto secondChannel = connect(second, oldKey);
  EXPECT_EQ(second.events().front(), "ready");
  ASSERT_TRUE(pump([&] { return !first.closeEvent().empty(); }));
  EXPECT_EQ(first.closeEvent(), "close:") << "replaced with a goodbye, not a broken link";

  // The first client's late input is not carried out for the newcomer.
  ASSERT_TRUE(received(second, MessageType::hello));
  firstChannel->send(MessageType::input, bytesOf(R"({"kind":"mouseMove","x":1,"y":1})"));
  secondChannel->send(MessageType::input, bytesOf(R"({"kind":"mouseMove","x":0,"y":0})"));
  ASSERT_TRUE(pump([&] { return !posted().empty(); }));
  main.runFor(100ms);
  EXPECT_EQ(posted(), std::vector<std::string>{"move 0,0"});

  // The silent ones do not keep their place for long either.
  const timeval limit{4, 0};
  setsockopt(silent.back().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte = 0;
  EXPECT_EQ(::recv(silent.back().native_handle(), &byte, 1, 0), 0) << "expected the end of the stream";
  ASSERT_TRUE(received(second, MessageType::hello));
  ASSERT_TRUE(server->connectedClient());
  secondChannel->cancel();
  EXPECT_TRUE(pump([&] { return !server->connectedClient(); }));

  server->stop();
  EXPECT_FALSE(server->isRunning() || advertiser.published);
  main.runFor(50ms);
  EXPECT_FALSE(server->isRunning()) << "the cancelled report must not revive it";
  server->start();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder afterRestart;
  auto thirdChannel = connect(afterRestart);
  EXPECT_EQ(afterRestart.events().front(), "ready");
}

using ClientSessionTest = HostServerTest;

// The client watches a stream of the chosen monitor, greeted with the stream's size, and its
// input lands on that monitor through the stream's bars, whatever the monitor's own size.
TEST_F(ClientSessionTest, PairedClientGetsVideoAndGreetingAtTheStreamSizeAndControlsTheHost) {
  defaults.setString(HostServer::kMonitorKey, "FAKE-1");
  desktop.screen.resize({0, 0, 4000, 3000});
  makeServer();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(received(client, MessageType::hello) && received(client, MessageType::videoFrame));
  EXPECT_EQ(desktop.requested(), std::vector<std::string>{"FAKE-1"});
  EXPECT_TRUE(server->connectedClient().value_or("").starts_with("127.0.0.1:"));
  const auto messages = client.messages();
  auto first = [&](MessageType type) { return std::ranges::find(messages, type, &Recorder::Message::first); };
  EXPECT_EQ(textOf(first(MessageType::hello)->second), json::encodeJson(HelloMessage{"Test Host", 1440, 1080}))
      << "4000x3000 scaled into the default 1920x1080 stream, aspect ratio kept";
  EXPECT_LT(first(MessageType::videoConfig), first(MessageType::videoFrame));

  // Junk first: none of it may be carried out or end the session.
  channel->send(MessageType::hello, bytesOf("{}"));
  channel->send(MessageType::input, bytesOf("{not json"));
  channel->send(MessageType::system, bytesOf(R"({"action":"reboot"})"));
  channel->send(MessageType::input, bytesOf(R"({"kind":"mouseMove","x":0.5,"y":0.25})"));
  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  channel->send(MessageType::input, bytesOf(R"({"kind":"mouseDown","x":0.5,"y":0.5})"));
  ASSERT_TRUE(pump([&] { return !runner.calls().empty() && posted().size() == 3; }));
  EXPECT_EQ(posted(), (std::vector<std::string>{"move 720,225", "move 720,450", "down left"}));
  EXPECT_EQ(runner.calls()[0].first, (std::vector<std::string>{"loginctl", "lock-session"}));
  EXPECT_EQ(client.closeEvent(), "") << "the session goes on";

  // The monitor turns to portrait: the stream keeps its size, the picture gets bars, and a
  // point on a bar lands on the edge of the monitor.
  const auto frames = std::ranges::count(client.messages(), MessageType::videoFrame, &Recorder::Message::first);
  desktop.screen.resize({0, 0, 900, 1600});
  ASSERT_TRUE(pump([&] {
    return std::ranges::count(client.messages(), MessageType::videoFrame, &Recorder::Message::first) > frames;
  }));
  main.runFor(100ms);
  channel->send(MessageType::input, bytesOf(R"({"kind":"mouseMove","x":0.5,"y":0.5})"));
  channel->send(MessageType::input, bytesOf(R"({"kind":"rightClick","x":0.1,"y":1})"));
  ASSERT_TRUE(pump([&] { return posted().size() == 7; }));
  EXPECT_EQ(posted()[3], "move 720,450");
  EXPECT_EQ(posted()[4], "move 0,899");

  const std::string reason = sharingEndedError().description;
  desktop.screen.change(sharingEndedError());
  ASSERT_TRUE(pump([&] { return server->lastError() == reason; }));
  EXPECT_FALSE(server->connectedClient());
  EXPECT_EQ(posted().back(), "up left") << "a button held by the client does not stay down";
  EXPECT_TRUE(pump([&] { return !client.closeEvent().empty(); }));
}

// Without a screen to share a client stays connected and gets neither greeting nor video.
TEST_F(ClientSessionTest, AClientWithoutAScreenStaysConnectedAndHearsWhy) {
  desktop.error = noDisplayFoundError();
  makeServer();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(pump([&] { return server->lastError() == "No display found"; }));
  EXPECT_FALSE(server->connectedClient());
  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  ASSERT_TRUE(pump([&] { return !runner.calls().empty(); }));
  EXPECT_TRUE(client.messages().empty());
  EXPECT_EQ(client.closeEvent(), "");
  // The host needs nothing near a megabyte; a larger frame ends the session.
  channel->send(MessageType::input, Bytes(ClientSession::kMaxInboundPayload + 1, ' '));
  EXPECT_TRUE(pump([&] { return !client.closeEvent().empty(); }));
}

// The desktop is asked for at each connection, so a client after a change of desktop (the
// "ask before each connection" preference toggled) gets the new one without a restart.
TEST_F(ClientSessionTest, EachClientGetsTheDesktopServedWhenItConnects) {
  desktop.holds = true;
  makeServer();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder first;
  auto firstChannel = connect(first);
  ASSERT_TRUE(pump([&] { return desktop.requested().size() == 1; }));
  const auto next = std::make_shared<FakeDesktopEnvironment>();
  served = next;
  Recorder second;
  auto secondChannel = connect(second);
  ASSERT_TRUE(pump([&] { return next->requested().size() == 1; })) << "the newcomer is served by the new desktop";
  EXPECT_TRUE(pump([&] { return server->connectedClient().has_value(); }));
  EXPECT_EQ(desktop.requested().size(), 1u);
}

// A desktop session that takes long to come (a portal dialog left open) holds up nothing: a
// paired newcomer replaces the waiting client, whose request is withdrawn, and gets video.
TEST_F(ClientSessionTest, ANewcomerReplacesAClientWhoseScreenIsStillBeingAskedFor) {
  desktop.holds = true;
  makeServer();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder first;
  auto firstChannel = connect(first);
  ASSERT_TRUE(pump([&] { return desktop.requested().size() == 1; }));
  Recorder second;
  auto secondChannel = connect(second);
  ASSERT_TRUE(pump([&] { return desktop.withdrawn == 1; })) << "the first request is withdrawn";
  EXPECT_TRUE(pump([&] { return !first.closeEvent().empty(); }));
  server->stop();  // the newcomer's request still waits: a stop withdraws it
  EXPECT_TRUE(pump([&] { return desktop.withdrawn == 2; }));
  EXPECT_FALSE(server->lastError()) << "a withdrawn request is no failure to report";
}

// The client may send as soon as its channel is ready, before the host even asks for its
// desktop: that input waits for the desktop session instead of being lost.
TEST_F(ClientSessionTest, InputSentBeforeStreamingIsAskedForWaitsForTheDesktop) {
  postTo(*sink);
  IoThread serverThread{"server"};
  TcpListener listener{serverThread.context()};
  ASSERT_FALSE(listener.open(0));
  const Bytes key = *identity.loadOrCreateKey();
  std::promise<std::unique_ptr<MessageChannel>> ready;
  auto handshakes = std::make_shared<PendingHandshakes>(
      SecureChannel::parameters(key).tls, PendingHandshakes::kDefaultLimits,
      [&ready](std::unique_ptr<MessageChannel> channel) { ready.set_value(std::move(channel)); });
  serverThread.post([&] {
    listener.startAccepting([handshakes](asio::ip::tcp::socket socket) { handshakes->admit(std::move(socket)); },
                            nullptr);
  });
  Recorder client;
  auto channel = connectRecorded(clientThread, listener.port(), SecureChannel::clientContext(key), client);
  ASSERT_TRUE(channel);
  ClientSession::Events events;
  events.system = [this](ClientSession&, SystemCommand::Action action) { systemController.perform(action); };
  auto session = std::make_unique<ClientSession>(ready.get_future().get(), main, std::move(events));

  channel->send(MessageType::input, bytesOf(R"({"kind":"mouseMove","x":0.5,"y":0.25})"));
  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  ASSERT_TRUE(pump([&] { return !runner.calls().empty(); })) << "the lock came after the move, and is done";
  session->beginStreaming(desktopOwner, {});
  ASSERT_TRUE(pump([&] { return !posted().empty(); }));
  EXPECT_EQ(posted().front(), "move 720,225");

  session.reset();
  // The listener and the handshakes belong to the server thread: close them there, and wait,
  // since they go with this stack.
  std::promise<void> closed;
  serverThread.post([&] {
    listener.close();
    handshakes->clear();
    closed.set_value();
  });
  closed.get_future().wait();
}

// While the desktop session is still being made (a portal dialog nobody answered yet), a
// system command is carried out at once, and input waits for the session in its order.
TEST_F(ClientSessionTest, SystemCommandsGoAheadOfInputThatWaitsForThePendingDesktop) {
  desktop.holds = true;
  makeServer();
  ASSERT_TRUE(pump([&] { return server->isRunning(); }));
  Recorder client;
  auto channel = connect(client);
  ASSERT_TRUE(pump([&] { return desktop.requested().size() == 1; }));
  channel->send(MessageType::input, bytesOf(R"({"kind":"mouseMove","x":0.5,"y":0.25})"));
  channel->sendJSON(MessageType::system, SystemCommand{SystemCommand::Action::lock});
  channel->send(MessageType::input, bytesOf(R"({"kind":"mouseDown","x":0.5,"y":0.5})"));
  ASSERT_TRUE(pump([&] { return !runner.calls().empty(); })) << "the lock does not wait for the desktop";
  EXPECT_EQ(runner.calls()[0].first, (std::vector<std::string>{"loginctl", "lock-session"}));
  EXPECT_TRUE(posted().empty());
  desktop.holds = false;
  ASSERT_TRUE(pump([&] { return posted().size() == 3; }));
  EXPECT_EQ(posted(), (std::vector<std::string>{"move 720,225", "move 720,450", "down left"}));
}

TEST(FileUserDefaults, StoresPrivatelyReadsAfreshAndTakesACorruptFileForEmpty) {
  TemporaryFolder dir;
  const fs::path file = dir.path / "quorin-remote" / "defaults.json";
  FileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.contains("QuorinAutoStart") || defaults.boolValue("QuorinAutoStart"));
  ASSERT_TRUE(defaults.setBool("QuorinAutoStart", false));
  EXPECT_TRUE(defaults.contains("QuorinAutoStart")) << "a stored false is still a value";

  FileUserDefaults again(file);
  EXPECT_TRUE(again.contains("QuorinAutoStart") && !again.boolValue("QuorinAutoStart"));
  ASSERT_TRUE(again.setBool("QuorinAutoStart", true) && again.setString("token", "a\"b"));
  EXPECT_TRUE(defaults.boolValue("QuorinAutoStart")) << "read afresh and kept beside the other value";
  EXPECT_EQ(defaults.stringValue("token"), "a\"b");
  EXPECT_EQ(defaults.stringValue("QuorinAutoStart"), "") << "a Boolean is no text";
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
      << "no temporary file is left beside it";

  // Other kinds of values read as Booleans the way the stored preferences always did.
  std::ofstream(file) << R"({"n":2,"z":0,"s":"YES","t":"true","o":"on","null":null,"list":[1]})";
  for (const auto& [key, value] : {std::pair{"n", true}, {"z", false}, {"s", true}, {"t", true},
                                    {"o", false}, {"null", false}, {"list", false}}) {
    EXPECT_EQ(defaults.boolValue(key), value) << key;
  }
  EXPECT_TRUE(defaults.contains("null"));

  // A corrupt file reads empty, is logged once and is replaced by the next write.
  std::ofstream(file) << "{\"QuorinAutoStart\": fal";
  LogCapture log;
  FileUserDefaults corrupt(file);
  EXPECT_FALSE(corrupt.contains("QuorinAutoStart") || corrupt.boolValue("QuorinAutoStart"));
  EXPECT_EQ(log.lines().size(), 1u);
  ASSERT_TRUE(corrupt.setBool("QuorinAutoStart", true));
  EXPECT_TRUE(FileUserDefaults(file).boolValue("QuorinAutoStart"));
}

}  // namespace
}  // namespace quorin
