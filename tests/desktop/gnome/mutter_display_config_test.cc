// mutter's layout as the host's monitors: names, places and sizes in the units of pointer
// motion, primary first, and the monitor a client gets.

#include <gtest/gtest.h>

#include "desktop/gnome/gnome_display_stream.h"
#include "desktop/gnome/mutter_display_config.h"

namespace quorin::mutter {
namespace {

TEST(MutterDisplayConfig, LogicalMonitorsBecomeMonitorsInLayoutUnitsPrimaryFirst) {
  DisplayLayout layout;
  layout.modes = {{"eDP-1", 2880, 1800}, {"DP-1", 1920, 1080}, {"HDMI-1", 1920, 1200}, {"DP-2", 0, 0}};
  layout.logical = {
      {0, 0, 2.0, 0, false, {"eDP-1"}},        // a laptop panel at 200%
      {1440, 0, 1.0, 1, true, {"DP-1"}},       // turned a quarter: portrait
      {2520, 0, 1.0, 0, false, {"HDMI-1", "DP-3"}},  // mirrored: named by the first
      {4440, 0, 1.0, 0, false, {"DP-2"}},      // no current mode: not shown
      {5000, 0, 1.0, 0, false, {}},
  };
  EXPECT_EQ(monitorsOf(layout), (std::vector<Monitor>{{"DP-1", {1440, 0, 1080, 1920}, true},
                                                      {"eDP-1", {0, 0, 1440, 900}, false},
                                                      {"HDMI-1", {2520, 0, 1920, 1200}, false}}));
  // A physical layout counts device pixels whatever the scale.
  layout.physicalLayout = true;
  EXPECT_EQ(monitorsOf(layout)[1], (Monitor{"eDP-1", {0, 0, 2880, 1800}, false}));
}

TEST(MutterDisplayConfig, TheChosenMonitorElseThePrimaryElseTheFirst) {
  const std::vector<Monitor> monitors = {{"Meta-0", {0, 0, 1920, 1080}, false}, {"Meta-1", {1920, 0, 1280, 720}, true}};
  EXPECT_EQ(chooseMonitor(monitors, "Meta-0")->name, "Meta-0");
  EXPECT_EQ(chooseMonitor(monitors, "")->name, "Meta-1");
  EXPECT_EQ(chooseMonitor(monitors, "DP-9")->name, "Meta-1");
  EXPECT_EQ(chooseMonitor({monitors[0]}, "DP-9")->name, "Meta-0");
  EXPECT_EQ(chooseMonitor({}, ""), nullptr);
}

}  // namespace
}  // namespace quorin::mutter
