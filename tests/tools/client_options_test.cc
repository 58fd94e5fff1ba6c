#include "client/client_options.h"

#include <gtest/gtest.h>

#include "client/input_script.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

ParsedOptions parse(std::vector<std::string_view> args) { return parseClientOptions(args); }

TEST(ClientOptions, HostAndPortSpellings) {
  const std::vector<std::tuple<std::string_view, std::string, std::optional<std::uint16_t>>> cases = {
      {"studio.local", "studio.local", std::nullopt}, {"127.0.0.1:4000", "127.0.0.1", 4000},
      {"[fe80::1%eth0]:4000", "fe80::1%eth0", 4000}, {"::1", "::1", std::nullopt}};
  for (const auto& [text, host, port] : cases) {
    const auto parsed = parse({"connect", text, "--pairing", "x"});
    EXPECT_EQ(parsed.error, "") << text;
    EXPECT_EQ(parsed.options.host, host);
    EXPECT_EQ(parsed.options.port, port) << text;
  }
  const auto valued = parse({"connect", "h", "--pairing=@f", "--port", "5000", "--read-rate=1.5M"});
  EXPECT_EQ(valued.options.pairing, "@f");
  EXPECT_EQ(valued.options.port, 5000);
  EXPECT_EQ(valued.options.readRate, 1'500'000u);
}

TEST(ClientOptions, RefusesWhatItCannotUse) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
      {{}, "no command given"},
      {{"connect", "h"}, "connect needs --pairing"},
      {{"connect", "h:80", "--pairing", "x", "--port", "81"}, "the port is given twice, in HOST:PORT and --port"},
      {{"connect", "--pairing", "x", "--port", "81"}, "--port needs HOST; a found host's own port is used"},
      {{"connect", "h:0", "--pairing", "x"}, "\"h:0\" is not a host or host:port"},
      {{"connect", "a", "b", "--pairing", "x"}, "unexpected argument \"b\""},
      {{"connect", "h", "--pairing"}, "--pairing needs a value"},
      {{"connect", "h", "--pairing", "x", "--frames", "0"}, "bad value for --frames: \"0\""},
      {{"connect", "h", "--pairing", "x", "--read-rate", "0k"}, "bad value for --read-rate: \"0k\""},
      {{"connect", "h", "--pairing", "x", "--stats=yes"}, "--stats takes no value"},
  };
  for (const auto& [args, error] : cases) EXPECT_EQ(parse(args).error, error);
}

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
