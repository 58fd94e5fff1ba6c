#include "client/client_program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "base/event_loop.h"
#include "base/log.h"
#include "client/client_options.h"
#include "client/host_browser.h"
#include "client/input_script.h"
#include "client/stream_client.h"
#include "identity/pairing_payload.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kPrefix = "quorin-client: ";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::chrono::milliseconds millis(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

// The whole file, or nothing with `error` set.
std::optional<std::string> readFile(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  if (!file || file.bad()) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return text.str();
}

std::string endpoint(const std::string& host, std::uint16_t port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The channel logs every state change; a command-line tool shows them only when asked.
class LogSilencer {
 public:
  explicit LogSilencer(bool verbose) : active_(!verbose) {
    if (active_) setLogSink([](const std::string&) {});
  }
  ~LogSilencer() {
    if (active_) setLogSink(nullptr);
  }
  LogSilencer(const LogSilencer&) = delete;
  LogSilencer& operator=(const LogSilencer&) = delete;

 private:
  bool active_;
};

int runBrowse(const ClientOptions& options, std::ostream& out, std::ostream& err) {
  const BrowseResult result =
      browseHosts(millis(options.timeout), [](const auto&, bool settled) { return settled; });
  if (!result.error.empty()) {
    err << kPrefix << "cannot browse the local network: " << result.error << "\n";
    return kExitUnreachable;
  }
  for (const auto& host : result.hosts) {
    out << host.name << '\t' << host.address << '\t' << host.port << '\n';
  }
  if (result.hosts.empty()) err << kPrefix << "no hosts found\n";
  return kExitOk;
}

// One `connect` run, from the command line to the exit status.
class ConnectRun {
 public:
  ConnectRun(const ClientOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  int run(const std::atomic<bool>& interrupted) {
    if (int status = prepare(); status != kExitOk) return status;
    if (int status = findHost(); status != kExitOk) return status;
    stream(interrupted);
    return report();
  }

 private:
  enum class End { none, limit, interrupted };

  int fail(int status, const std::string& message) {
    err_ << kPrefix << message << "\n";
    return status;
  }

  int prepare() {
    std::string error;
    std::string pairingText = options_.pairing;
    if (pairingText.starts_with('@')) {
      auto text = readFile(pairingText.substr(1), error);
      if (!text) return fail(kExitFile, error);
      pairingText = *text;
    }
    pairing_ = PairingPayload::decode(pairingText);
    if (!pairing_) {
      return fail(kExitUsage,
                  "the pairing text is not a pairing code (its JSON text or the Base64 of it)");
    }
    if (!options_.inputPath.empty()) {
      auto text = readFile(options_.inputPath, error);
      if (!text) return fail(kExitFile, error);
      InputScript script = parseInputScript(*text);
      if (!script.error.empty()) return fail(kExitUsage, options_.inputPath + ": " + script.error);
      script_ = std::move(script.messages);
    }
    if (!options_.recordPath.empty()) {
      record_.reset(std::fopen(options_.recordPath.c_str(), "wb"));
      if (!record_) {
        return fail(kExitFile, "cannot write " + options_.recordPath + ": " + std::strerror(errno));
      }
    }
    return kExitOk;
  }

  int findHost() {
    if (options_.host) {
      host_ = *options_.host;
      port_ = options_.port.value_or(StreamClient::kDefaultPort);
      return kExitOk;
    }
    const std::string& name = pairing_->name;
    const auto named = [&](const AdvertisedHost& host) { return host.name == name; };
    BrowseResult result = browseHosts(millis(options_.timeout), [&](const auto& hosts, bool) {
      return std::any_of(hosts.begin(), hosts.end(), named);
    });
    if (!result.error.empty()) {
      return fail(kExitUnreachable, "cannot browse the local network: " + result.error);
    }
    // An IPv4 address needs no interface to be reachable; take one when there is.
    const AdvertisedHost* chosen = nullptr;
    for (const auto& host : result.hosts) {
      if (!named(host)) continue;
      if (!chosen || (chosen->address.find(':') != std::string::npos &&
                      host.address.find(':') == std::string::npos)) {
        chosen = &host;
      }
    }
    if (!chosen) {
      return fail(kExitUnreachable,
                  "no host named \"" + name + "\" is advertised on the local network");
    }
    host_ = chosen->address;
    port_ = chosen->port;
    err_ << kPrefix << "found \"" << name << "\" at " << endpoint(host_, port_) << "\n";
    return kExitOk;
  }

  void stream(const std::atomic<bool>& interrupted) {
    StreamClient::Options clientOptions;
    clientOptions.host = host_;
    clientOptions.port = port_;
    clientOptions.key = pairing_->key;
    clientOptions.connectTimeout = millis(options_.timeout);
    clientOptions.readRate = options_.readRate;
    StreamClient client(std::move(clientOptions));

    EventLoop loop;
    std::size_t nextInput = 0;
    Clock::time_point inputDue;
    client.onReady = [&] {
      loop.post([&] {
        readyAt_ = Clock::now();
        if (!script_.empty()) inputDue = *readyAt_ + script_[0].delay;
      });
    };
    client.onHello = [&](const HelloMessage& hello) {
      loop.post([&, text = json::encodeJson(hello).value_or("")] {
        err_ << kPrefix << "hello " << text << "\n";
      });
    };
    client.onEnd = [&](StreamClient::Outcome outcome, const std::string& detail) {
      loop.post([&, outcome, detail] {
        if (end_ != End::none) return;  // the run had already reached its end
        outcome_ = outcome;
        detail_ = detail;
      });
    };
    // Both run on the client's thread; this thread reads what they leave only after stop().
    if (!options_.snapshotPath.empty()) {
      client.onPicture = [this](const DecodedFrame& frame) { lastPicture_ = frame.picture; };
    }
    if (record_) {
      client.onAccessUnit = [this](ByteView unit) {
        if (std::fwrite(unit.data(), 1, unit.size(), record_.get()) != unit.size()) {
          recordError_ = std::strerror(errno);
        }
      };
    }

    client.start();
    while (end_ == End::none && !outcome_) {
      loop.runFor(5ms);
      if (interrupted) end_ = End::interrupted;
      if (!readyAt_ || outcome_) continue;
      const auto now = Clock::now();
      while (nextInput < script_.size() && now >= inputDue) {
        std::visit([&](const auto& message) { client.send(message); }, script_[nextInput].message);
        if (++nextInput < script_.size()) inputDue += script_[nextInput].delay;
      }
      if (options_.seconds && now - *readyAt_ >= millis(*options_.seconds)) end_ = End::limit;
      if (options_.frames && client.framesReceived() >= *options_.frames) end_ = End::limit;
    }
    inputsSent_ = nextInput;
    client.stop();
    loop.runFor(0ms);  // what the client reported before it stopped, such as the greeting
    stats_ = client.stats();
  }

  std::string result() const {
    if (outcome_) {
      switch (*outcome_) {
        case StreamClient::Outcome::connectFailed: return "connectFailed";
        case StreamClient::Outcome::handshakeFailed: return "handshakeFailed";
        case StreamClient::Outcome::closedByHost: return "closedByHost";
      }
    }
    return end_ == End::interrupted ? "interrupted" : "completed";
  }

  // Every problem is reported; the exit status names the first.
  int report() {
    int status = kExitOk;
    const auto problem = [&](int code, const std::string& message) {
      fail(code, message);
      if (status == kExitOk) status = code;
    };
    const std::string where = endpoint(host_, port_);
    const std::string because = detail_.empty() ? "" : ": " + detail_;
    if (outcome_ == StreamClient::Outcome::connectFailed) {
      problem(kExitUnreachable, "cannot connect to " + where + because);
    } else if (outcome_ == StreamClient::Outcome::handshakeFailed) {
      problem(kExitHandshake,
              "the TLS handshake with " + where + " failed; is the pairing key right?" + because);
    } else if (outcome_ == StreamClient::Outcome::closedByHost) {
      problem(kExitClosed, "the host closed the connection" + because);
    }

    const VideoStats& video = stats_.video;
    if (video.decodeErrors > 0) {
      problem(kExitUndecodable, "the video did not decode: " + std::to_string(video.decodeErrors) +
                                    " errors in " + std::to_string(video.frames) + " frames");
    } else if (video.frames > 0 && video.decodedFrames == 0) {
      problem(kExitUndecodable, "the video did not decode: none of " +
                                    std::to_string(video.frames) +
                                    " frames came with a configuration and a key frame");
    }

    if (!options_.snapshotPath.empty()) {
      const std::string error = lastPicture_.writePng(options_.snapshotPath);
      if (!error.empty()) problem(kExitFile, "cannot write " + options_.snapshotPath + ": " + error);
    }
    if (record_ && std::fclose(record_.release()) != 0 && recordError_.empty()) {
      recordError_ = std::strerror(errno);
    }
    if (!recordError_.empty()) {
      problem(kExitFile, "cannot write " + options_.recordPath + ": " + recordError_);
    }

    if (options_.stats) {
      json::Json summary = stats_.toJson();
      summary["result"] = result();
      summary["host"] = where;
      summary["inputsSent"] = inputsSent_;
      out_ << json::write(summary).value_or("{}") << "\n";
    }
    return status;
  }

  const ClientOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  std::optional<PairingPayload> pairing_;
  std::vector<ScriptedMessage> script_;
  std::unique_ptr<std::FILE, FileCloser> record_;
  std::string recordError_;
  std::string host_;
  std::uint16_t port_ = StreamClient::kDefaultPort;

  std::optional<Clock::time_point> readyAt_;
  std::optional<StreamClient::Outcome> outcome_;
  std::string detail_;
  End end_ = End::none;
  std::size_t inputsSent_ = 0;
  Picture lastPicture_;
  StreamStats stats_;
};

}  // namespace

int runClient(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted) {
  const ParsedOptions parsed = parseClientOptions(args);
  if (!parsed.error.empty()) {
    err << kPrefix << parsed.error << "\n" << clientUsage();
    return kExitUsage;
  }
  const ClientOptions& options = parsed.options;
  switch (options.command) {
    case ClientOptions::Command::help:
      out << clientUsage();
      return kExitOk;
    case ClientOptions::Command::version:
      out << clientVersion();
      return kExitOk;
    case ClientOptions::Command::browse:
      return runBrowse(options, out, err);
    case ClientOptions::Command::connect: {
      LogSilencer silencer(options.verbose);
      return ConnectRun(options, out, err).run(interrupted);
    }
  }
  return kExitUsage;
}

}  // namespace quorin
