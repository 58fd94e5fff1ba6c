// The panel, the pairing popover and the no-tray window, as widgets under the offscreen
// platform, over a real server with fakes behind it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QTimer>

#include <chrono>
#include <filesystem>

#include "app/autostart_entry.h"
#include "app/command_output.h"
#include "app/menu_content.h"
#include "app/qt_task_runner.h"
#include "app/qt_test_app.h"
#include "app/server_with_fakes.h"
#include "app/tray_item.h"
#include "fakes/log_capture.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// What zbar reads off the widget as drawn on screen.
std::string scan(QWidget& widget) {
  const std::string path = "/tmp/quorin-pairing-" + std::to_string(getpid()) + ".pgm";
  widget.grab().toImage().convertToFormat(QImage::Format_Grayscale8).save(QString::fromStdString(path));
  const std::string text = commandOutput("zbarimg --raw -q -Sbinary " + path);
  std::filesystem::remove(path);
  return text;
}

class TrayWidgetsTest : public ::testing::Test {
 protected:
  TrayWidgetsTest() {
    startApplication("offscreen");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  }
  ~TrayWidgetsTest() override { std::filesystem::remove_all(config); }

  MenuViewModel::Environment environment() { return host.environment(&autostart); }

  std::filesystem::path config = std::filesystem::temp_directory_path() /
                                 ("quorin-tray-widgets-" + std::to_string(getpid()));
  QtTaskRunner main;
  ServerWithFakes host{main, "Büro"};
  HostServer& server = host.server;
  HostIdentity& identity = host.identity;
  AutostartEntry autostart{"/usr/bin/quorin-remote-host"};
};

TEST_F(TrayWidgetsTest, PairingCodeScansToThePairingTextAndFollowsAReset) {
  MenuContent panel(environment(), identity);
  panel.openPairing();
  ASSERT_NE(panel.pairingView(), nullptr);
  PairingQRView& view = *panel.pairingView();
  const std::string first = identity.pairingPayload()->encodedString();
  EXPECT_EQ(view.payloadString(), first);
  EXPECT_EQ(scan(view.codeArea()), first);

  view.resetButton().click();
  const std::string second = scan(view.codeArea());
  const auto after = PairingPayload::decode(second);
  ASSERT_TRUE(after) << second;
  EXPECT_NE(after->key, PairingPayload::decode(first)->key);
  EXPECT_EQ(after->key, KeychainStore::load(HostIdentity::kKeyAccount));

  view.close();
  ASSERT_TRUE(processUntil([&] { return panel.pairingView() == nullptr; }));
  panel.openPairing();
  EXPECT_EQ(scan(panel.pairingView()->codeArea()), second) << "reopened after a reset";
}

TEST_F(TrayWidgetsTest, NoPairingTextMeansTheRedLineInsteadOfACode) {
  HostIdentity keyless{[] { return std::optional<Bytes>(); }, [] { return std::string("x"); }};
  PairingQRView view(keyless);
  view.show();
  EXPECT_TRUE(view.payloadString().empty());
  EXPECT_FALSE(view.codeArea().isVisible());
  const auto labels = view.findChildren<QLabel*>();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
    return label->isVisible() && label->text() == QStringLiteral("Couldn\u2019t render QR");
  }));
  EXPECT_FALSE(PairingQRView::qrImage(std::string(3000, 'x'))) << "more than a code holds";
}

TEST_F(TrayWidgetsTest, StartStopAutoStartAndOpenAtLoginDoWhatTheySayAndNothingMore) {
  MenuContent panel(environment(), identity);
  EXPECT_EQ(panel.startStopButton().text(), "Start");
  panel.startStopButton().click();
  ASSERT_TRUE(processUntil([&] { return server.isRunning(); }));
  EXPECT_EQ(panel.startStopButton().text(), "Stop");
  EXPECT_EQ(panel.statusLabel().text(), "Advertising on the network");
  panel.startStopButton().click();
  EXPECT_FALSE(server.isRunning());
  EXPECT_EQ(panel.startStopButton().text(), "Start");
  EXPECT_EQ(host.defaults.writes, 0);

  panel.autoStartSwitch().click();
  EXPECT_TRUE(host.defaults.boolValue(HostServer::kAutoStartKey));
  processUntil([] { return false; }, 100ms);
  EXPECT_FALSE(server.hasListener()) << "the switch does not start the server";
  EXPECT_TRUE(panel.autoStartSwitch().isChecked());

  const auto entry = config / "autostart" / "quorin-remote-host.desktop";
  EXPECT_FALSE(panel.openAtLoginSwitch().isChecked());
  panel.openAtLoginSwitch().click();
  EXPECT_TRUE(std::filesystem::exists(entry) && panel.openAtLoginSwitch().isChecked());
  panel.openAtLoginSwitch().click();
  EXPECT_FALSE(std::filesystem::exists(entry) || panel.openAtLoginSwitch().isChecked());

  host.advertiser.reportProblem("Advertising on the local network is unavailable.");
  EXPECT_EQ(panel.errorLabel().text(), "Advertising on the local network is unavailable.");
}

TEST_F(TrayWidgetsTest, PermissionRowsChangeOnlyWhenThePanelIsShownAgainAndOnlyTheGrantPrompts) {
  host.granted = false;
  MenuContent panel(environment(), identity);
  panel.show();
  ASSERT_TRUE(processUntil([&] { return host.screenProbes == 1; }));
  processUntil([] { return false; }, 50ms);  // its answer reaches the panel
  ASSERT_TRUE(panel.screenRecordingRow().grantButton().isVisibleTo(&panel));
  panel.screenRecordingRow().grantButton().click();
  panel.accessibilityRow().grantButton().click();
  EXPECT_EQ(host.screenSettingsOpened + host.accessibilitySettingsOpened, 2);

  host.granted = true;
  processUntil([] { return false; }, 100ms);
  EXPECT_TRUE(panel.screenRecordingRow().grantButton().isVisibleTo(&panel)) << "only a new showing re-reads";
  panel.hide();
  panel.show();
  ASSERT_TRUE(processUntil([&] { return !panel.screenRecordingRow().grantButton().isVisibleTo(&panel); }));
  EXPECT_FALSE(panel.accessibilityRow().grantButton().isVisibleTo(&panel));
  EXPECT_TRUE(host.flags.hasScreen && host.flags.hasAccessibility);
  EXPECT_EQ(host.prompts, (std::vector<bool>{false, true, false})) << "only the grant prompts";
}

TEST_F(TrayWidgetsTest, WithoutATrayThePanelIsAWindowAndClosingItQuits) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  LogCapture log;
  TrayItem tray(environment(), identity, 0ms);
  ASSERT_TRUE(tray.usesWindow());
  ASSERT_NE(tray.panel(), nullptr);
  EXPECT_TRUE(tray.panel()->isVisible());
  EXPECT_EQ(tray.panel()->windowType(), Qt::Window);
  EXPECT_EQ(log.count("QuorinRemote: no system tray found: the panel opens as a window, and closing it quits"), 1);

  QTimer::singleShot(0, tray.panel(), [&] { tray.panel()->close(); });
  QTimer::singleShot(5000, [] { QApplication::exit(7); });
  EXPECT_EQ(QApplication::exec(), 0);
}

}  // namespace
}  // namespace quorin
