// The panel, the pairing popover and the no-tray window, as widgets under the offscreen
// platform, over a real server with fakes behind it; the terminal's pairing code; and the
// host program without a display.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QLabel>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "app/command_output.h"
#include "app/menu_content.h"
#include "app/qt_task_runner.h"
#include "app/qt_test_app.h"
#include "app/server_with_fakes.h"
#include "app/terminal_qr.h"
#include "app/tray_item.h"
#include "fakes/child_process.h"
#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// What zbar reads off a picture.
std::string scan(const QImage& image) {
  const std::string path = "/tmp/quorin-pairing-" + std::to_string(getpid()) + ".pgm";
  image.convertToFormat(QImage::Format_Grayscale8).save(QString::fromStdString(path));
  const std::string text = commandOutput("zbarimg --raw -q -Sbinary " + path);
  std::filesystem::remove(path);
  return text;
}

class TrayWidgetsTest : public ::testing::Test {
 protected:
  TrayWidgetsTest() { startApplication("offscreen"); }

  QtTaskRunner main;
  ServerWithFakes host{main, "Büro"};
  HostIdentity& identity = host.identity;
};

TEST_F(TrayWidgetsTest, PairingCodesScanBackToThePairingTextFollowAResetOrGiveWayToTheRedLine) {
  // The terminal's, drawn in half blocks.
  const std::string text = R"({"key":"q0H\/abc+def=","name":"Büro","v":1})";
  const auto drawing = renderTerminalQr(text);
  ASSERT_TRUE(drawing);
  // Each character cell holds the modules of two rows: a full block both light, an upper or
  // lower half block one of them.
  const std::string plain = std::regex_replace(*drawing, std::regex("\x1b\\[[0-9;]*m"), "");
  const QStringList lines = QString::fromStdString(plain).split('\n', Qt::SkipEmptyParts);
  QImage modules(int(lines.at(0).size()), int(lines.size()) * 2, QImage::Format_RGB32);
  for (int y = 0; y < modules.height(); ++y) {
    for (int x = 0; x < modules.width(); ++x) {
      const QChar cell = lines.at(y / 2).at(x);
      const bool light = cell == u'\u2588' || cell == (y % 2 ? u'\u2584' : u'\u2580');
      modules.setPixel(x, y, light ? 0xFFFFFFFF : 0xFF000000);
    }
  }
  EXPECT_EQ(scan(modules.scaled(modules.size() * 6)), text) << "the exact bytes, UTF-8 included";

  // Without a pairing text (none is stored yet): the red line instead of a code.
  HostIdentity keyless{[] { return std::optional<Bytes>(); }, [] { return std::string("x"); }};
  PairingQRView empty(keyless);
  empty.show();
  EXPECT_TRUE(empty.payloadString().empty());
  EXPECT_FALSE(empty.codeArea().isVisible());
  const auto labels = empty.findChildren<QLabel*>();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
    return label->isVisible() && label->text() == QStringLiteral("Couldn\u2019t render QR");
  }));
  EXPECT_FALSE(PairingQRView::qrImage(std::string(3000, 'x'))) << "more than a code holds";

  MenuContent panel(host.environment(), identity);
  panel.openPairing();
  ASSERT_NE(panel.pairingView(), nullptr);
  PairingQRView& view = *panel.pairingView();
  const std::string first = identity.pairingPayload()->encodedString();
  EXPECT_EQ(view.payloadString(), first);
  EXPECT_EQ(scan(view.codeArea().grab().toImage()), first);

  view.resetButton().click();
  const std::string second = scan(view.codeArea().grab().toImage());
  const auto after = PairingPayload::decode(second);
  ASSERT_TRUE(after) << second;
  EXPECT_NE(after->key, PairingPayload::decode(first)->key);
  EXPECT_EQ(after->key, KeychainStore::load(HostIdentity::kKeyAccount));

  view.close();
  ASSERT_TRUE(processUntil([&] { return panel.pairingView() == nullptr; }));
  panel.openPairing();
  EXPECT_EQ(scan(panel.pairingView()->codeArea().grab().toImage()), second) << "reopened after a reset";

}

TEST_F(TrayWidgetsTest, StartStopAutoStartAndOpenAtLoginDoWhatTheySayAndNothingMore) {
  host.loginItem.enabled = true;
  MenuContent panel(host.environment(), identity);
  EXPECT_TRUE(panel.openAtLoginSwitch().isChecked()) << "read from the login item";
  EXPECT_EQ(panel.startStopButton().text(), "Start");
  panel.startStopButton().click();
  ASSERT_TRUE(processUntil([&] { return host.server.isRunning(); }));
  EXPECT_EQ(panel.startStopButton().text(), "Stop");
  EXPECT_EQ(panel.statusLabel().text(), "Advertising on the network");
  panel.startStopButton().click();
  EXPECT_FALSE(host.server.isRunning());
  EXPECT_EQ(panel.startStopButton().text(), "Start");
  EXPECT_EQ(host.defaults.writes, 0);

  panel.autoStartSwitch().click();
  EXPECT_TRUE(host.defaults.boolValue(HostServer::kAutoStartKey));
  processUntil([] { return false; }, 100ms);
  EXPECT_FALSE(host.server.hasListener()) << "the switch does not start the server";
  EXPECT_TRUE(panel.autoStartSwitch().isChecked());

  // A failed change leaves the switch showing what is really registered; the reset to off is
  // a change of its own, applied (and failing quietly) once more.
  panel.openAtLoginSwitch().click();
  host.loginItem.failChanges = true;
  panel.openAtLoginSwitch().click();
  EXPECT_FALSE(panel.openAtLoginSwitch().isChecked());
  EXPECT_EQ(host.loginItem.requests, (std::vector<bool>{false, true, false}));
  host.loginItem.failChanges = false;
  panel.openAtLoginSwitch().click();
  host.loginItem.failChanges = true;
  panel.openAtLoginSwitch().click();
  EXPECT_TRUE(panel.openAtLoginSwitch().isChecked());

  host.advertiser.reportProblem("Advertising on the local network is unavailable.");
  EXPECT_EQ(panel.errorLabel().text(), "Advertising on the local network is unavailable.");
}

TEST_F(TrayWidgetsTest, PermissionsAndMonitorsChangeOnlyWhenThePanelIsShownAgainAndOnlyTheGrantPrompts) {
  host.granted = false;
  host.monitors = {{"DP-1", {0, 0, 1920, 1080}, true}, {"HDMI-1", {1920, 0, 1280, 1024}}};
  host.defaults.setString(HostServer::kMonitorKey, "HDMI-1");
  MenuContent panel(host.environment(), identity);
  panel.show();
  ASSERT_TRUE(processUntil([&] { return host.screenProbes == 1; }));
  processUntil([] { return false; }, 50ms);  // its answer reaches the panel
  ASSERT_TRUE(panel.screenRecordingRow().grantButton().isVisibleTo(&panel));
  panel.screenRecordingRow().grantButton().click();
  panel.accessibilityRow().grantButton().click();
  EXPECT_EQ(host.screenSettingsOpened + host.accessibilitySettingsOpened, 2);
  ASSERT_TRUE(processUntil([&] { return panel.monitorRow().isVisibleTo(&panel); }));
  EXPECT_EQ(panel.monitorRow().list().currentText(), "HDMI-1");
  panel.monitorRow().list().setCurrentIndex(0);
  EXPECT_EQ(host.defaults.stringValue(HostServer::kMonitorKey), "") << "the primary";

  host.granted = true;
  host.monitors.pop_back();
  processUntil([] { return false; }, 100ms);
  EXPECT_TRUE(panel.screenRecordingRow().grantButton().isVisibleTo(&panel)) << "only a new showing re-reads";
  panel.hide();
  panel.show();
  ASSERT_TRUE(processUntil([&] { return !panel.screenRecordingRow().grantButton().isVisibleTo(&panel); }));
  EXPECT_FALSE(panel.accessibilityRow().grantButton().isVisibleTo(&panel));
  EXPECT_FALSE(panel.monitorRow().isVisibleTo(&panel)) << "one monitor left";
  EXPECT_TRUE(host.flags.hasScreen && host.flags.hasAccessibility);
  EXPECT_EQ(host.prompts, (std::vector<bool>{false, true, false})) << "only the grant prompts";
}

// The states the README pictures; scripts/screenshots has them saved into $QUORIN_SCREENSHOTS.
TEST_F(TrayWidgetsTest, AppliedStatesShowInThePanel) {
  host.name = "studio";
  MenuContent panel(host.environment(), identity);
  panel.setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  panel.show();
  ASSERT_TRUE(processUntil([&] { return host.screenProbes == 1; }));
  processUntil([] { return false; }, 50ms);  // the probe's answer is in before the states
  const auto save = [](QWidget& widget, const char* name) {
    QApplication::processEvents();
    if (const char* folder = std::getenv("QUORIN_SCREENSHOTS")) {
      EXPECT_TRUE(widget.grab().save(QDir(folder).filePath(name))) << name;
    }
  };
  panel.apply({.isRunning = false, .autoStart = true, .hasScreen = true, .hasAccessibility = false});
  EXPECT_TRUE(panel.accessibilityRow().grantButton().isVisibleTo(&panel));
  EXPECT_FALSE(panel.screenRecordingRow().grantButton().isVisibleTo(&panel));
  EXPECT_FALSE(panel.errorLabel().isVisibleTo(&panel));
  EXPECT_EQ(panel.statusLabel().text(), "Stopped");
  save(panel, "panel-stopped.png");
  const char* error = "Advertising on the local network failed: Local name collision.";
  panel.apply({.isRunning = true,
               .connectedClient = "192.168.1.42:50712",
               .lastError = error,
               .autoStart = true,
               .hasScreen = true,
               .hasAccessibility = true,
               .openAtLogin = true});
  EXPECT_EQ(panel.statusLabel().text(), "Advertising on the network");
  EXPECT_EQ(panel.errorLabel().text(), error);
  EXPECT_TRUE(panel.openAtLoginSwitch().isChecked());
  EXPECT_EQ(panel.startStopButton().text(), "Stop");
  save(panel, "panel-running.png");
  panel.apply({.lastError = ""});
  EXPECT_TRUE(panel.errorLabel().isVisibleTo(&panel)) << "an empty error still has its line";
  EXPECT_FALSE(panel.desktopNote().isVisibleTo(&panel));
  const char* note = "KDE asks on this computer before each connection.";
  panel.apply({.desktopNote = note});
  EXPECT_TRUE(panel.desktopNote().isVisibleTo(&panel));
  EXPECT_EQ(panel.desktopNote().text(), note);
  panel.openPairing();
  ASSERT_NE(panel.pairingView(), nullptr);
  save(*panel.pairingView(), "pairing.png");
}

TEST_F(TrayWidgetsTest, WithoutATrayThePanelIsAWindowAndClosingItQuits) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  LogCapture log;
  TrayItem tray(host.environment(), identity, 0ms);
  ASSERT_TRUE(tray.usesWindow());
  ASSERT_TRUE(tray.panel() && tray.panel()->isVisible());
  EXPECT_EQ(tray.panel()->windowType(), Qt::Window);
  EXPECT_EQ(log.count("QuorinRemote: no system tray found: the panel opens as a window, and closing it quits"), 1);

  QTimer::singleShot(0, tray.panel(), [&] { tray.panel()->close(); });
  QTimer::singleShot(5000, [] { QApplication::exit(7); });
  EXPECT_EQ(QApplication::exec(), 0);
}

TEST(HeadlessHost, BusyPortIsAFailedStartWithTheReason) {
  ChildProcess first({QUORIN_HOST_BINARY, "--headless"});
  ASSERT_TRUE(first.waitForLine("Advertising"));
  ChildProcess second({QUORIN_HOST_BINARY, "--headless"});
  EXPECT_TRUE(second.waitForLine("Last error: Address already in use")) << second.output();
  EXPECT_EQ(WEXITSTATUS(second.terminate()), 1);
}

// The monitor choice goes before or after the option; alone it only stores the choice, so
// making it while a host runs starts no second host on the busy port.
TEST(HeadlessHost, TakesTheMonitorChoiceWithAnyOptionAndAloneOnlyStoresIt) {
  TemporaryFolder config;
  const std::vector<std::string> env{"XDG_CONFIG_HOME=" + config.path.string()};
  const auto stored = [&] {
    std::ifstream file(config.path / "quorin-remote" / "defaults.json");
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  ChildProcess host({QUORIN_HOST_BINARY, "--headless", "--monitor", "RIGHT"}, env);
  ASSERT_TRUE(host.waitForLine("Advertising")) << host.output();
  EXPECT_NE(stored().find("\"RIGHT\""), std::string::npos);

  ChildProcess choice({QUORIN_HOST_BINARY, "--monitor", "LEFT"}, env);
  EXPECT_TRUE(choice.waitForLine("The monitor LEFT is shared from the next client on.")) << choice.output();
  const int status = choice.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << choice.output();
  EXPECT_NE(stored().find("\"LEFT\""), std::string::npos);

  ChildProcess twice({QUORIN_HOST_BINARY, "--monitor", "A", "--headless", "--pair"}, env);
  EXPECT_EQ(WEXITSTATUS(twice.wait()), 2) << "two options besides the monitor";
  EXPECT_EQ(WEXITSTATUS(host.terminate()), 0);
}

// Whether the program has come far enough to take SIGTERM as a request to stop (before that,
// the signal's default action ends it).
bool blocksStopSignals(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigBlk:")) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
  }
  return false;
}

TEST(HeadlessHost, AStopAtAnyMomentOfTheStartUpEndsItWithStatusZero) {
  // A session bus that takes connections and never answers holds the start-up at the keyring.
  TemporaryFolder dir;
  const int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  const std::string bus = (dir.path / "bus").string();
  bus.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 64), 0);
  for (const bool held : {false, true}) {
    for (const auto moment : {0ms, 30ms, 300ms}) {
      const std::string heldBus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus;
      ChildProcess host({QUORIN_HOST_BINARY, "--headless"}, held ? std::vector{heldBus} : std::vector<std::string>{});
      for (int i = 0; i < 10'000 && !blocksStopSignals(host.pid()); ++i) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(moment);
      kill(host.pid(), SIGTERM);
      const int status = host.wait();
      EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << (held ? "held bus, " : "") << moment.count() << " ms: status " << status << "\n" << host.output();
    }
  }
  close(silent);
}

}  // namespace
}  // namespace quorin
