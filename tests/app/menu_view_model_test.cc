// The panel's pieces without widgets: where it opens, the help it shows, the autostart entry,
// and the model over a real server.

#include "app/menu_view_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "app/autostart_entry.h"
#include "app/host_components.h"
#include "app/markdown_section.h"
#include "app/panel_placement.h"
#include "app/permissions.h"
#include "app/server_with_fakes.h"
#include "base/event_loop.h"
#include "base/x11/own_x_server.h"
#include "fakes/require_service.h"
#include "fakes/temporary_folder.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

TEST(PanelPlacement, OpensBesideTheIconAndStaysOnTheScreen) {
  const ScreenRect screen{0, 24, 1920, 1056};  // below a top bar of 24 pixels
  EXPECT_EQ(panelOrigin(ScreenRect{1890, 0, 24, 24}, 300, 500, screen), (PixelPoint{1620, 28}));
  EXPECT_EQ(panelOrigin(ScreenRect{900, 0, 20, 24}, 300, 500, screen), (PixelPoint{760, 28}));
  EXPECT_EQ(panelOrigin(ScreenRect{4, 1050, 24, 24}, 300, 500, {0, 0, 1920, 1046}), (PixelPoint{0, 546}));
  EXPECT_EQ(panelOrigin(std::nullopt, 300, 500, screen), (PixelPoint{1620, 24})) << "unknown: the corner";
}

TEST(MarkdownSection, TheShippedHelpHasBothPermissions) {
  const std::string readme = fileText(QUORIN_README);
  for (const char* topic : {"Screen Recording", "Accessibility"}) {
    const auto section = markdownSection(readme, std::string("#### ") + topic);
    ASSERT_TRUE(section) << topic;
    EXPECT_EQ(section->find("\n#### "), std::string::npos) << "ends before the next topic";
    EXPECT_GT(section->size(), 100u) << *section;
  }
  EXPECT_EQ(markdownSection("#### A\none\n```\n## code\n```\n##### B\n### C\n", "#### A"),
            "#### A\none\n```\n## code\n```\n##### B\n");
}

TEST(AutostartEntry, ExecLineIsEscapedAndAHiddenEntryCountsAsOff) {
  const TemporaryFolder config;
  setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
  AutostartEntry odd("/home/a b/100%$x\\y");
  EXPECT_TRUE(odd.setEnabled(false)) << "removing nothing succeeds";
  ASSERT_TRUE(odd.setEnabled(true));
  EXPECT_EQ(AutostartEntry::path(), config.path / "autostart" / "quorin-remote-host.desktop");
  EXPECT_NE(fileText(AutostartEntry::path()).find("\nExec=\"/home/a b/100%%\\\\$x\\\\\\\\y\"\n"), std::string::npos);
  EXPECT_TRUE(odd.isEnabled());
  std::ofstream(AutostartEntry::path(), std::ios::app) << "Hidden=true\n";
  EXPECT_FALSE(odd.isEnabled());

  // Line breaks in the path must not end the Exec line (here: hiding the entry).
  AutostartEntry broken("/opt/q\nHidden=true\r\t");
  ASSERT_TRUE(broken.setEnabled(true));
  EXPECT_TRUE(broken.isEnabled());
  EXPECT_NE(fileText(AutostartEntry::path()).find("\nExec=\"/opt/q\\nHidden=true\\r\\t\"\n"), std::string::npos);
  EXPECT_FALSE(AutostartEntry("/opt/q\x01").setEnabled(true));
}

// The model over a real server (fakes behind it, port 0) on a headless main loop.
TEST(MenuViewModel, TheScreenProbeRunsOffTheMainThreadAndALateAnswerFindsNoPanel) {
  EventLoop main;
  ServerWithFakes host{main, "Test Host"};
  auto model = std::make_unique<MenuViewModel>(host.environment());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread::id probedOn;
  host.screenProbe = [&] {
    probedOn = std::this_thread::get_id();
    released.wait();
    return true;
  };
  model->refresh();
  EXPECT_TRUE(host.flags.hasAccessibility) << "read at once";
  EXPECT_FALSE(host.flags.hasScreen) << "the main thread does not wait for the probe";
  release.set_value();
  ASSERT_TRUE(main.runUntil([&] { return model->state().hasScreen; }, 5s));
  EXPECT_NE(probedOn, std::this_thread::get_id());

  // A probe still running when the panel goes: its answer is dropped, nothing crashes.
  host.flags.hasScreen = false;
  std::promise<void> releaseLate;
  released = releaseLate.get_future().share();
  model->refresh();
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    releaseLate.set_value();
  });
  model.reset();  // waits for the probe
  late.join();
  main.runFor(100ms);
  EXPECT_FALSE(host.flags.hasScreen);
}

// The panel probes XTest on the main thread: an X server that stopped answering makes the
// probe give up instead of freezing the panel, and answers count again once it resumes.
TEST(MenuViewModel, TheXTestProbeGivesUpOnAStoppedXServer) {
  OwnXServer server;
  QUORIN_REQUIRE(!server.name().empty(), "Xvfb did not start");
  const char* shared = std::getenv("DISPLAY");
  const std::string before = shared ? shared : "";
  setenv("DISPLAY", server.name().c_str(), 1);
  EXPECT_TRUE(Permissions::isAccessibilityTrusted(false));
  server.stop();
  EXPECT_FALSE(Permissions::isAccessibilityTrusted(false));
  server.resume();
  EXPECT_TRUE(Permissions::isAccessibilityTrusted(false));
  if (shared) {
    setenv("DISPLAY", before.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

MenuItem monitorRow(const MenuState& state) {
  const MenuItems items = menuItems(state);
  return *std::ranges::find(items, MenuElement::monitorRow, &MenuItem::element);
}

TEST(MenuViewModel, TheMonitorRowShowsAChoiceOfTwoOrMoreAndTheChoiceIsStored) {
  EXPECT_FALSE(monitorRow({.monitors = {"DP-1"}, .monitor = "DP-1"}).shown) << "nothing to choose";
  const MenuItem row = monitorRow({.monitors = {"DP-1", "HDMI-1"}, .monitor = "HDMI-1"});
  EXPECT_TRUE(row.shown);
  EXPECT_EQ(row.choices, (std::vector<std::string>{"DP-1 (primary)", "HDMI-1"}));
  EXPECT_EQ(row.chosen, 1u);
  EXPECT_EQ(monitorRow({.monitors = {"DP-1", "HDMI-1"}, .monitor = "gone"}).chosen, 0u) << "the primary";

  // Read when the panel shows (the list on the probe thread); a choice is kept for the next
  // client session, the primary one as no choice.
  EventLoop main;
  ServerWithFakes host{main, "Test Host"};
  host.monitors = {{"DP-1", {0, 0, 1920, 1080}, true}, {"HDMI-1", {1920, 0, 1280, 1024}}};
  host.defaults.setString(HostServer::kMonitorKey, "HDMI-1");
  MenuViewModel model(host.environment());
  model.refresh();
  ASSERT_TRUE(main.runUntil([&] { return monitorRow(model.state()).shown; }, 5s));
  EXPECT_EQ(monitorRow(model.state()).chosen, 1u);
  model.chooseMonitor(0);
  EXPECT_EQ(host.defaults.stringValue(HostServer::kMonitorKey), "");
  EXPECT_EQ(monitorRow(model.state()).chosen, 0u);
  model.chooseMonitor(1);
  EXPECT_EQ(host.defaults.stringValue(HostServer::kMonitorKey), "HDMI-1");
}

// KDE and GNOME are shared through their compositor's own services unless the user wants to
// be asked; asking never takes wlroots' own sharing away (it asks nobody either way). KWin,
// asked of the compositor itself, wins over mutter's names on the bus.
TEST(HostComponents, AskingBeforeEachConnectionSendsKdeAndGnomeToThePortalButNotWlroots) {
  for (const bool kde : {false, true}) {
    for (const bool gnome : {false, true}) {
      EXPECT_EQ(chooseWaylandDesktop({true, kde, gnome}, true), WaylandDesktop::wlroots);
      EXPECT_EQ(chooseWaylandDesktop({true, kde, gnome}, false), WaylandDesktop::wlroots);
      EXPECT_EQ(chooseWaylandDesktop({false, kde, gnome}, true), WaylandDesktop::portal);
    }
    EXPECT_EQ(chooseWaylandDesktop({false, true, kde}, false), WaylandDesktop::kde);
  }
  EXPECT_EQ(chooseWaylandDesktop({false, false, true}, false), WaylandDesktop::gnome);
  EXPECT_EQ(chooseWaylandDesktop({false, false, false}, false), WaylandDesktop::portal);
}

MenuItem askSwitch(const MenuState& state) {
  const MenuItems items = menuItems(state);
  return *std::ranges::find(items, MenuElement::askBeforeConnectingSwitch, &MenuItem::element);
}

// The switch shows only where asking changes anything, and reads the stored preference when
// the panel shows. A toggle is stored for the next client, and the panel lists the monitors
// of the desktop it gives: GNOME's own (a choice), or none where the portal's dialog chooses.
TEST(MenuViewModel, TheAskSwitchShowsWhereItMattersAndAToggleServesTheNextClient) {
  EXPECT_FALSE(askSwitch({}).shown);
  EXPECT_TRUE(askSwitch({.canAskBeforeConnecting = true}).shown);

  EventLoop main;
  ServerWithFakes host{main, "Test Host"};
  host.monitors = {{"Meta-0", {0, 0, 1920, 1080}, true}, {"Meta-1", {1920, 0, 1280, 1024}}};
  const std::vector<Monitor> none;
  const auto withoutDialog = host.desktop;
  const auto portal = std::make_shared<ListedDesktop>(none);
  host.canAskBeforeConnecting = true;
  host.defaults.setBool(HostServer::kAskBeforeConnectingKey, true);
  MenuViewModel::Environment environment = host.environment();
  environment.desktop = [&] {
    return host.defaults.boolValue(HostServer::kAskBeforeConnectingKey) ? portal : withoutDialog;
  };
  MenuViewModel model(environment);
  model.refresh();
  EXPECT_TRUE(askSwitch(model.state()).on);
  ASSERT_TRUE(askSwitch(model.state()).shown);

  model.setAskBeforeConnecting(false);
  EXPECT_FALSE(host.defaults.boolValue(HostServer::kAskBeforeConnectingKey));
  EXPECT_FALSE(askSwitch(model.state()).on);
  ASSERT_TRUE(main.runUntil([&] { return monitorRow(model.state()).shown; }, 5s)) << "GNOME's monitors";
  model.setAskBeforeConnecting(true);
  EXPECT_TRUE(host.defaults.boolValue(HostServer::kAskBeforeConnectingKey));
  ASSERT_TRUE(main.runUntil([&] { return !monitorRow(model.state()).shown; }, 5s)) << "the dialog chooses";
}

}  // namespace
}  // namespace quorin
