#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/autostart_entry.h"
#include "app/markdown_section.h"
#include "app/panel_placement.h"

namespace quorin {
namespace {

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(PanelPlacement, OpensBesideTheIconAndStaysOnTheScreen) {
  const ScreenRect screen{0, 24, 1920, 1056};  // below a top bar of 24 pixels
  EXPECT_EQ(panelOrigin(ScreenRect{1890, 0, 24, 24}, 300, 500, screen), (ScreenPoint{1620, 28}));
  EXPECT_EQ(panelOrigin(ScreenRect{900, 0, 20, 24}, 300, 500, screen), (ScreenPoint{760, 28}));
  EXPECT_EQ(panelOrigin(ScreenRect{4, 1050, 24, 24}, 300, 500, {0, 0, 1920, 1046}), (ScreenPoint{0, 546}));
  EXPECT_EQ(panelOrigin(std::nullopt, 300, 500, screen), (ScreenPoint{1620, 24})) << "unknown: the corner";
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
  const auto config = std::filesystem::temp_directory_path() / ("quorin-autostart-" + std::to_string(getpid()));
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  AutostartEntry odd("/home/a b/100%$x\\y");
  EXPECT_TRUE(odd.setEnabled(false)) << "removing nothing succeeds";
  ASSERT_TRUE(odd.setEnabled(true));
  EXPECT_EQ(AutostartEntry::path(), config / "autostart" / "quorin-remote-host.desktop");
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
  std::filesystem::remove_all(config);
}

}  // namespace
}  // namespace quorin
