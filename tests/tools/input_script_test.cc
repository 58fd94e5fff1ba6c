#include "client/input_script.h"

#include <gtest/gtest.h>

namespace quorin {
namespace {

using namespace std::chrono_literals;

TEST(InputScript, ReadsEventsCommandsAndDelaysInOrder) {
  const auto script = parseInputScript(
      "{\"input\":{\"kind\":\"mouseMove\",\"x\":0.25}}\n"
      "\n"
      "  {\"delayMs\": 150, \"input\": {\"kind\": \"keyText\", \"text\": \"h\\u00e9\"}}\r\n"
      "{\"system\":{\"action\":\"sleep\"}}");
  ASSERT_EQ(script.error, "");
  ASSERT_EQ(script.messages.size(), 3u);
  EXPECT_EQ(std::get<InputEvent>(script.messages[0].message).x, 0.25);
  EXPECT_EQ(script.messages[0].delay, 0ms);
  EXPECT_EQ(std::get<InputEvent>(script.messages[1].message).text, "h\xc3\xa9");
  EXPECT_EQ(script.messages[1].delay, 150ms);
  EXPECT_EQ(std::get<SystemCommand>(script.messages[2].message).action, SystemCommand::Action::sleep);
}

TEST(InputScript, ABadLineIsNamedWithItsNumberAndNothingIsSent) {
  const std::string good = "{\"input\":{\"kind\":\"leftClick\"}}\n\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"input\":{\"kind\":\"MouseMove\"}}", "\"input\" is not a valid input event"},
      {"{\"system\":{\"action\":\"reboot\"}}", "\"system\" is not a valid system command"},
      {"{\"input\":{\"kind\":\"tab\"},\"system\":{\"action\":\"lock\"}}", "needs exactly one of \"input\" and \"system\""},
      {"{\"delay\":5}", "unknown key \"delay\" (expected \"input\", \"system\" or \"delayMs\")"},
      {"{\"delayMs\":2.5}", "\"delayMs\" must be a whole number of milliseconds from 0"},
      {"{\"input\":{\"kind\":\"leftClick\"}", "not a JSON object"},
  };
  for (const auto& [line, why] : cases) {
    const auto script = parseInputScript(good + line + "\n" + good);
    EXPECT_EQ(script.error, "line 3: " + why) << line;
    EXPECT_TRUE(script.messages.empty()) << line;
  }
}

}  // namespace
}  // namespace quorin
