#include "client/client_options.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "quorin_version.h"

namespace quorin {
namespace {

template <class T>
std::optional<T> wholeNumber(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> positiveSeconds(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
      value <= 0) {
    return std::nullopt;
  }
  return value;
}

// "1500000", "1500k", "1.5M": decimal multiples.
std::optional<std::uint64_t> byteRate(std::string_view text) {
  double scale = 1;
  if (text.ends_with('k') || text.ends_with('K')) scale = 1e3;
  if (text.ends_with('M') || text.ends_with('m')) scale = 1e6;
  if (scale != 1) text.remove_suffix(1);
  const auto number = positiveSeconds(text);  // the same rules: a positive finite number
  if (!number || *number * scale >= double(std::numeric_limits<std::uint64_t>::max())) {
    return std::nullopt;
  }
  const auto rate = static_cast<std::uint64_t>(*number * scale);
  if (rate == 0) return std::nullopt;
  return rate;
}

// HOST, HOST:PORT, [IPV6]:PORT, [IPV6] or a bare IPv6 address.
bool splitHost(std::string_view text, std::optional<std::string>& hostOut,
               std::optional<std::uint16_t>& portOut) {
  std::string_view host = text;
  std::optional<std::string_view> port;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return false;
      port = rest.substr(1);
    }
  } else if (const auto colon = text.find(':');
             colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) return false;
  if (port) {
    const auto number = wholeNumber<std::uint16_t>(*port);
    if (!number || *number == 0) return false;
    portOut = *number;
  }
  hostOut = std::string(host);
  return true;
}

}  // namespace

ParsedOptions parseClientOptions(const std::vector<std::string_view>& args) {
  ParsedOptions parsed;
  ClientOptions& options = parsed.options;
  const auto fail = [&](std::string error) {
    parsed.error = std::move(error);
    return parsed;
  };
  if (args.empty()) return fail("no command given");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") return parsed;
  if (args[0] == "--version") {
    options.command = ClientOptions::Command::version;
    return parsed;
  }
  if (args[0] == "browse") {
    options.command = ClientOptions::Command::browse;
  } else if (args[0] == "connect") {
    options.command = ClientOptions::Command::connect;
  } else {
    return fail("unknown command \"" + std::string(args[0]) + "\"");
  }
  const bool connect = options.command == ClientOptions::Command::connect;
  bool portOption = false;
  std::optional<std::uint16_t> hostPort;

  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (!arg.starts_with("--")) {
      if (!connect || options.host) return fail("unexpected argument \"" + std::string(arg) + "\"");
      if (!splitHost(arg, options.host, hostPort)) return fail("\"" + std::string(arg) + "\" is not a host or host:port");
      continue;
    }
    std::string name(arg);
    std::optional<std::string_view> value;
    if (const auto equals = arg.find('='); equals != std::string_view::npos) {
      name = std::string(arg.substr(0, equals));
      value = arg.substr(equals + 1);
    }
    const bool flag = name == "--stats" || name == "--verbose";
    const bool known = name == "--timeout" ||
                       (connect && (flag || name == "--pairing" || name == "--port" ||
                                    name == "--seconds" || name == "--frames" ||
                                    name == "--snapshot" || name == "--record" ||
                                    name == "--input" || name == "--read-rate"));
    if (!known) return fail("unknown option " + name);
    if (flag) {
      if (value) return fail(name + " takes no value");
      (name == "--stats" ? options.stats : options.verbose) = true;
      continue;
    }
    if (!value) {
      if (i + 1 == args.size()) return fail(name + " needs a value");
      value = args[++i];
    }
    const std::string text(*value);
    const auto bad = [&] { return fail("bad value for " + name + ": \"" + text + "\""); };
    if (name == "--pairing") {
      options.pairing = text;
    } else if (name == "--port") {
      const auto port = wholeNumber<std::uint16_t>(text);
      if (!port || *port == 0) return bad();
      options.port = *port;
      portOption = true;
    } else if (name == "--seconds" || name == "--timeout") {
      const auto seconds = positiveSeconds(text);
      if (!seconds) return bad();
      if (name == "--seconds") options.seconds = *seconds;
      else options.timeout = *seconds;
    } else if (name == "--frames") {
      const auto frames = wholeNumber<std::uint64_t>(text);
      if (!frames || *frames == 0) return bad();
      options.frames = *frames;
    } else if (name == "--read-rate") {
      const auto rate = byteRate(text);
      if (!rate) return bad();
      options.readRate = *rate;
    } else if (name == "--snapshot") {
      options.snapshotPath = text;
    } else if (name == "--record") {
      options.recordPath = text;
    } else {
      options.inputPath = text;
    }
  }
  if (connect && options.pairing.empty()) return fail("connect needs --pairing");
  if (portOption && !options.host) return fail("--port needs HOST; a found host's own port is used");
  if (portOption && hostPort) return fail("the port is given twice, in HOST:PORT and --port");
  if (hostPort) options.port = hostPort;
  return parsed;
}

std::string clientUsage() {
  return R"(usage:
  quorin-client --version
  quorin-client browse [--timeout S]
      Lists the hosts advertised on the local network: name, address, port.
  quorin-client connect [HOST[:PORT]] --pairing TEXT|@FILE [options]
      Connects with the pairing code's key (TEXT, or the contents of FILE). Without HOST,
      connects to the advertised host named in the pairing code. Shows the greeting on
      stderr and decodes the video until a limit is reached, the host ends the connection
      or the program is interrupted.
options of connect:
  --port N           the host's port when HOST does not give one (default 52877)
  --seconds S        stop after S seconds of connection
  --frames N         stop after N video frames
  --snapshot FILE    save the last decoded picture as PNG
  --record FILE      write the video as an H.264 Annex B stream, from its first key frame
  --input FILE       send the messages of a JSON-lines file, one per line:
                       {"input": {"kind": "mouseMove", "x": 0.5, "y": 0.5}}
                       {"delayMs": 200, "system": {"action": "lock"}}
                     "delayMs" waits after the previous line; sending starts once connected
  --stats            print a JSON summary on stdout at the end
  --read-rate R      read at most R bytes per second (suffix k or M), as a slow link would
  --timeout S        time allowed for browsing and for connecting (default 5)
  --verbose          show the connection's log lines
exit status:
  0 success, 1 a file could not be read or written, 2 bad command line or pairing code,
  3 host not found or not reachable, 4 TLS handshake failed (wrong pairing key?),
  5 the host closed the connection, 6 the video did not decode
)";
}

std::string clientVersion() { return std::string("quorin-client ") + kQuorinVersion + "\n"; }

}  // namespace quorin
