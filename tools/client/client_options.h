#pragma once
// The command line of quorin-client. Pure functions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

struct ClientOptions {
  enum class Command { help, version, browse, connect };
  Command command = Command::help;

  std::optional<std::string> host;   // name or numeric address, IPv6 without brackets
  std::optional<std::uint16_t> port;  // from HOST:PORT or --port
  std::string pairing;                // the pairing text, or "@" and a file holding it
  std::optional<double> seconds;      // run time limit
  std::optional<std::uint64_t> frames;  // stop after this many video frames
  std::string snapshotPath;
  std::string recordPath;
  std::string inputPath;
  bool stats = false;
  bool verbose = false;
  double timeout = 5;          // seconds allowed for browsing and for connecting
  std::uint64_t readRate = 0;  // bytes per second, 0 for no limit
};

struct ParsedOptions {
  ClientOptions options;
  std::string error;  // empty when the command line is usable
};

// `args` excludes the program name.
ParsedOptions parseClientOptions(const std::vector<std::string_view>& args);

std::string clientUsage();

// "quorin-client", the version and a line break.
std::string clientVersion();

}  // namespace quorin
