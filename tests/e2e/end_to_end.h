#pragma once
// The host and the reference client run as programs, as a user runs them: a private folder
// holding the pairing text the host prints, the host started until it advertises, and client
// runs with their --stats line. Tests only.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "app/command_output.h"
#include "fakes/child_process.h"
#include "fakes/temporary_folder.h"
#include "protocol/json_codec.h"

namespace quorin {

class EndToEndTest : public ::testing::Test {
 protected:
  static inline const std::string kHost = QUORIN_HOST_BINARY;
  static inline const std::string kClient = QUORIN_CLIENT_BINARY;

  void SetUp() override { std::ofstream(path("pairing.txt")) << commandOutput(kHost + " --pairing-text 2>/dev/null"); }

  // Starts the host and returns once it listens and advertises. Its output holds its log.
  static std::unique_ptr<ChildProcess> startHost(std::vector<std::string> environment = {}) {
    auto host = std::make_unique<ChildProcess>(std::vector<std::string>{kHost, "--headless"}, std::move(environment),
                                               true);
    EXPECT_TRUE(host->waitForLine("Advertising")) << host->output();
    return host;
  }
  // SIGTERM ends the host with status 0 by its own clean stop, not the forced exit that
  // follows a stop which does not finish.
  static void expectCleanStop(ChildProcess& host) {
    const int status = host.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << host.output();
    EXPECT_EQ(host.output().find("stopping without waiting any longer"), std::string::npos) << host.output();
  }
  // The client connecting to this machine's host with `args`, started. With `withLog` its
  // output holds its log lines too ("quorin-client: hello ..."), for a test to wait on.
  std::unique_ptr<ChildProcess> startClient(const std::vector<std::string>& args, bool withLog = false) {
    std::vector<std::string> argv = {kClient, "connect", "127.0.0.1", "--pairing", pairing_};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, withLog);
  }

  struct ClientRun {
    int exitCode;  // -1 when the client did not end in time
    json::Json stats;  // the --stats line
    std::string output;
  };
  // Waits for the client's end; its stats line is the last line of its stdout.
  static ClientRun finish(ChildProcess& client, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const int status = client.wait(limit);
    const std::string& out = client.output();
    return {status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            json::parseObject(out.substr(out.rfind('\n', out.size() - 2) + 1)).value_or(json::Json::object()), out};
  }
  ClientRun runClient(const std::vector<std::string>& args) { return finish(*startClient(args)); }

  std::string path(const std::string& name) const { return (dir_.path / name).string(); }
  std::string script(const std::string& name, const std::string& lines) const {
    std::ofstream(path(name)) << lines;
    return path(name);
  }

  const TemporaryFolder dir_;
  const std::string pairing_ = "@" + path("pairing.txt");
};

}  // namespace quorin
