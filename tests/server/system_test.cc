#include "server/system_controller.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "base/event_loop.h"
#include "fakes/fake_command_runner.h"
#include "fakes/log_capture.h"
#include "fakes/require_service.h"
#include "fakes/temporary_folder.h"
#include "server/avahi_advertiser.h"
#include "server/command_runner.h"
#include "server/host_info.h"
#include "transport/tcp_listener.h"
#include "video/x11/x11_display_stream.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Action = SystemCommand::Action;
using Kind = CommandOutcome::Kind;
using Lines = std::vector<std::string>;

class SystemControllerTest : public testing::Test {
 protected:
  // Performs `actions` and waits for the lock they may have started.
  void perform(std::initializer_list<Action> actions) {
    SystemController controller(runner_);
    for (const Action action : actions) controller.perform(action);
  }
  Lines ran() const {
    Lines commands;
    for (const auto& [argv, wait] : runner_.calls()) {
      EXPECT_EQ(wait, SystemController::kMaxWait);
      commands.push_back(argv[0] + " " + argv[1]);
    }
    return commands;
  }

  FakeCommandRunner runner_;
  LogCapture log_;
};

TEST_F(SystemControllerTest, EachActionRunsItsCommandsEveryTimeAndFailuresAreLogged) {
  perform({Action::shutdown, Action::restart, Action::sleep, Action::sleep, Action::lock});
  EXPECT_EQ(ran(), (Lines{"systemctl poweroff", "systemctl reboot", "systemctl suspend", "systemctl suspend",
                          "loginctl lock-session", "xset dpms"}));
  EXPECT_EQ(log_.lines(), (Lines{"QuorinRemote: lock: loginctl lock-session exited with status 0; "
                                 "xset dpms force off exited with status 0"}));

  // A failed lock falls back to the screensaver.
  runner_.answer = [](const std::vector<std::string>& argv) -> CommandOutcome {
    if (argv[1] == "poweroff" || argv[0] == "loginctl") return {Kind::exited, 1};
    if (argv[1] == "reboot") return {Kind::notStarted, ENOENT};
    if (argv[1] == "suspend") return {Kind::signalled, SIGKILL};
    return {Kind::running, 0};
  };
  LogCapture failures;
  perform({Action::shutdown, Action::restart, Action::sleep, Action::lock});
  const std::string error = "QuorinRemote: system command error systemctl ";
  EXPECT_EQ(failures.lines(), (Lines{error + "poweroff exited with status 1",
                                     error + "reboot could not be started: No such file or directory",
                                     error + "suspend was ended by signal 9 (Killed)",
                                     "QuorinRemote: lock: loginctl lock-session exited with status 1; xdg-screensaver "
                                     "lock is still running; xset dpms force off is still running"}));
}

TEST_F(SystemControllerTest, CommandsRunInTurnOffTheCallersThreadAndRepeatsAreBounded) {
  std::promise<void> release;
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> ranOnCaller = false;
  runner_.answer = [&, done = release.get_future().share()](const std::vector<std::string>& argv) {
    if (std::this_thread::get_id() == caller) ranOnCaller = true;
    if (argv[1] == "poweroff") done.wait_for(10s);  // held until the commands below are given
    return CommandOutcome{Kind::exited, 0};
  };
  {
    SystemController controller(runner_);
    controller.perform(Action::shutdown);
    while (runner_.calls().empty()) std::this_thread::yield();
    // One lock waits; the others are dropped, and so is whatever exceeds kMaxWaiting.
    for (int i = 0; i < 3; ++i) controller.perform(Action::lock);
    for (int i = 0; i < 20; ++i) controller.perform(Action::sleep);
    release.set_value();
    // Once the last sleep has begun the lock is over, and the next one is taken.
    while (runner_.calls().size() < 3 + SystemController::kMaxWaiting - 1) std::this_thread::yield();
    controller.perform(Action::lock);
  }
  EXPECT_FALSE(ranOnCaller);
  Lines expected{"systemctl poweroff", "loginctl lock-session", "xset dpms"};
  expected.insert(expected.end(), SystemController::kMaxWaiting - 1, "systemctl suspend");
  expected.insert(expected.end(), {"loginctl lock-session", "xset dpms"});
  EXPECT_EQ(ran(), expected);
  EXPECT_EQ(log_.count("QuorinRemote: system command dropped: 8 are still waiting"), 1);
}

TEST(SpawnCommandRunner, ReportsHowTheCommandEnded) {
  SpawnCommandRunner runner;
  EXPECT_EQ(runner.run({"/bin/sh", "-c", "exit 3"}, 5s), (CommandOutcome{Kind::exited, 3}));
  EXPECT_EQ(runner.run({"quorin-no-such-program"}, 5s), (CommandOutcome{Kind::notStarted, ENOENT}));

  // Programs are not looked up in PATH, which whoever started the host chose.
  TemporaryFolder scratch;
  std::ofstream(scratch.path / "quorin-in-path") << "#!/bin/sh\nexit 0\n";
  fs::permissions(scratch.path / "quorin-in-path", fs::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (scratch.path.string() + ":" + path).c_str(), 1);
  EXPECT_EQ(runner.run({"quorin-in-path"}, 5s), (CommandOutcome{Kind::notStarted, ENOENT}));
  ::setenv("PATH", path.c_str(), 1);

  // The child gets default signal handling and its own standard input even when the caller
  // ignores SIGTERM and has a line waiting on its standard input.
  int lines[2];
  ASSERT_EQ(::pipe(lines), 0);
  ASSERT_EQ(::write(lines[1], "leaked\n", 7), 7);
  const int savedInput = ::dup(STDIN_FILENO);
  ::dup2(lines[0], STDIN_FILENO);
  const auto previous = std::signal(SIGTERM, SIG_IGN);
  const auto killed = runner.run({"sh", "-c", "kill -TERM $$; exit 0"}, 5s);
  const auto read = runner.run({"sh", "-c", "read line; test -z \"$line\""}, 5s);
  std::signal(SIGTERM, previous);
  ::dup2(savedInput, STDIN_FILENO);
  for (int fd : {savedInput, lines[0], lines[1]}) ::close(fd);
  EXPECT_EQ(killed, (CommandOutcome{Kind::signalled, SIGTERM}));
  EXPECT_EQ(read, (CommandOutcome{Kind::exited, 0}));
}

// Holds an exclusive lock on a file; `waiter` is a command that ends (with status 0) once the
// lock is released, or with status 1 when it is never released.
class Gate {
 public:
  Gate() : fd_(::open((folder_.path / "gate").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600)) {
    ::flock(fd_, LOCK_EX);
  }
  ~Gate() { open(); }
  void open() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }
  std::string waiter() const { return "flock -s -w 60 " + (folder_.path / "gate").string() + " true"; }

 private:
  TemporaryFolder folder_;
  int fd_;
};

TEST(SpawnCommandRunner, SlowCommandsAreLeftRunningAndReapedByOneThread) {
  auto threadCount = [] { return std::distance(fs::directory_iterator("/proc/self/task"), {}); };
  const auto threadsBefore = threadCount();
  SpawnCommandRunner runner;
  Gate gate;
  // Every child waits for the gate, opened only once all have been started: a runner that
  // waited for one would see it end in failure.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(runner.run({"sh", "-c", gate.waiter()}, i ? 0ms : 100ms), (CommandOutcome{Kind::running, 0}));
  }
  gate.open();
  EXPECT_LE(threadCount(), threadsBefore + 1);
  // Once they have ended nothing of them remains, not even a zombie (looked at, not collected).
  siginfo_t child{};
  for (int i = 0; i < 3000 && ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(errno, ECHILD) << "child " << child.si_pid << " was not reaped";
}

// Lines whose program is `name`, without the log prefix.
Lines outputOf(const LogCapture& log, const std::string& name) {
  Lines output;
  const std::string prefix = "QuorinRemote: " + name + ": ";
  for (const auto& line : log.lines()) {
    if (line.starts_with(prefix)) output.push_back(line.substr(prefix.size()));
  }
  return output;
}

TEST(SpawnCommandRunner, OutputReachesTheLogOnlyWhenTheCommandFails) {
  LogCapture log;
  SpawnCommandRunner runner;
  EXPECT_EQ(runner.run({"sh", "-c", "echo usage; echo more usage >&2"}, 5s), (CommandOutcome{Kind::exited, 0}));
  EXPECT_EQ(log.lines(), Lines{});
  EXPECT_EQ(runner.run({"sh", "-c", "echo why; echo how >&2; exit 2"}, 5s), (CommandOutcome{Kind::exited, 2}));
  EXPECT_EQ(runner.run({"sh", "-c", "echo dying; kill -KILL $$"}, 5s), (CommandOutcome{Kind::signalled, SIGKILL}));
  EXPECT_EQ(outputOf(log, "sh"), (Lines{"why", "how", "dying"}));

  // A command left running is judged when it ends.
  Gate gate;
  EXPECT_EQ(runner.run({"/bin/sh", "-c", gate.waiter() + "; echo late; exit 1"}, 0ms),
            (CommandOutcome{Kind::running, 0}));
  EXPECT_EQ(outputOf(log, "/bin/sh"), Lines{});
  gate.open();
  for (int i = 0; i < 3000 && outputOf(log, "/bin/sh").empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(outputOf(log, "/bin/sh"), Lines{"late"});
}

// Descriptors without close-on-exec, which any program started by other means would inherit,
// leaving out those in `earlier` (what this test was given).
std::set<int> inheritable(const std::set<int>& earlier = {}) {
  std::set<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    const int flags = ::fcntl(fd, F_GETFD);
    if (fd > STDERR_FILENO && flags >= 0 && !(flags & FD_CLOEXEC) && !earlier.contains(fd)) fds.insert(fd);
  }
  return fds;
}

// A child that outlives the host must not hold its port, its clients or its X connection.
class ChildrenInheritNothing : public testing::Test {
 protected:
  void SetUp() override {
    before_ = inheritable();
    ASSERT_FALSE(listener_.open(0));
    listener_.startAccepting([this](asio::ip::tcp::socket socket) { accepted_.emplace(std::move(socket)); },
                             nullptr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener_.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    while (!accepted_) io_.run_one();
  }
  void TearDown() override {
    if (client_ >= 0) ::close(client_);
  }

  std::set<int> before_;
  asio::io_context io_;
  TcpListener listener_{io_};
  std::optional<asio::ip::tcp::socket> accepted_;
  int client_ = -1;
};

TEST_F(ChildrenInheritNothing, TheHostsSocketsAvahiAndXConnectionsAreCloseOnExec) {
  EXPECT_EQ(inheritable(before_), std::set<int>{}) << "the listener or an accepted socket";
  EventLoop main;
  AvahiAdvertiser advertiser(main);
  EXPECT_EQ(inheritable(before_), std::set<int>{}) << "Avahi";
  QUORIN_REQUIRE(std::getenv("DISPLAY"), "no X display (DISPLAY is unset)");
  CaptureError error;
  const auto stream = x11::openDisplayStream({}, {}, error);
  ASSERT_TRUE(stream) << error.description;
  EXPECT_EQ(inheritable(before_), std::set<int>{}) << "the X connection";
}

TEST_F(ChildrenInheritNothing, ACommandGetsOnlyStandardInputOutputAndError) {
  int leaky[2];  // as a library might make it
  ASSERT_EQ(::pipe(leaky), 0);
  LogCapture log;
  SpawnCommandRunner runner;
  // Failing, so that the listing reaches the log.
  EXPECT_EQ(runner.run({"sh", "-c", "ls /proc/$$/fd; exit 1"}, 5s), (CommandOutcome{Kind::exited, 1}));
  for (int fd : leaky) ::close(fd);
  EXPECT_EQ(outputOf(log, "sh"), (Lines{"0", "1", "2"}));
}

TEST(HostInfo, DropsEveryLocalCaseSensitivelyInOnePass) {
  const std::pair<const char*, const char*> cases[] = {
      {"studio.local", "studio"},     {"studio.local.lan", "studio.lan"}, {"a.localb.local", "ab"},
      {"studio.LOCAL", "studio.LOCAL"}, {".lo.localcal", ".local"},       {" studio ", " studio "},
      {".local.local", "Quorin Mac"}, {"", "Quorin Mac"}};
  for (const auto& [host, name] : cases) EXPECT_EQ(HostInfo::displayName(host), name) << host;
}

}  // namespace
}  // namespace quorin
