// quorin-remote-host: serves this desktop to paired devices.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "app/headless_host.h"
#include "app/host_components.h"
#include "base/event_loop.h"
#include "app/permissions.h"
#include "app/quorin_remote_host_app.h"
#include "app/terminal_qr.h"
#include "identity/host_identity.h"
#include "quorin_version.h"
#include "server/host_info.h"
#include "server/host_server.h"
#include "transport/secure_channel.h"

namespace {

constexpr const char* kUsage =
    "Usage: quorin-remote-host [OPTION] [--monitor NAME]\n"
    "Lets a paired phone or tablet see and control this desktop over the local network.\n"
    "Without an option it runs as a tray application when a graphical session is reachable\n"
    "($DISPLAY), and like --headless otherwise.\n"
    "\n"
    "  --headless       run without a user interface: print one line per state change,\n"
    "                   stop cleanly on Ctrl-C or SIGTERM\n"
    "  --pair           print the pairing QR code and its text, then exit; scan the code\n"
    "                   with the Quorin Remote app to pair a device\n"
    "  --pairing-text   print only the pairing text on one line, then exit\n"
    "  --reset-key      replace the host key, then exit; every paired device must pair\n"
    "                   again (a running host keeps the old key until it restarts)\n"
    "  --list-monitors  list the monitors that can be shared, then exit\n"
    "  --monitor NAME   share the monitor NAME (as --list-monitors shows it) from the next\n"
    "                   client on, also in a host that runs already; an empty NAME shares\n"
    "                   the primary monitor again. Alone it only stores the choice; with\n"
    "                   an option (--headless) it stores it, then does what the option says\n"
    "  --version        print the version and exit\n"
    "  --help           show this help\n";

int printPairing(bool withCode) {
  quorin::HostIdentity identity(quorin::SecureChannel::generateKey, quorin::HostInfo::name);
  const auto payload = identity.pairingPayload();
  const std::string text = payload ? payload->encodedString() : std::string();
  if (text.empty()) {
    std::fprintf(stderr, "quorin-remote-host: no host key could be read or made\n");
    return 1;
  }
  if (withCode) {
    const auto drawing = quorin::renderTerminalQr(text);
    if (!drawing) {
      std::fprintf(stderr, "quorin-remote-host: the pairing code could not be drawn\n");
      return 1;
    }
    std::printf("%s\nScan this code with the Quorin Remote app. Pairing text:\n", drawing->c_str());
  }
  std::printf("%s\n", text.c_str());
  return 0;
}

int resetKey() {
  quorin::HostIdentity identity(quorin::SecureChannel::generateKey, quorin::HostInfo::name);
  if (!identity.resetKey()) {
    std::fprintf(stderr, "quorin-remote-host: the host key could not be replaced\n");
    return 1;
  }
  std::printf("The host key was replaced. Every paired device must pair again.\n");
  return 0;
}

int listMonitors() {
  quorin::EventLoop loop;
  quorin::HostComponents components(loop);
  const std::string chosen = components.defaults().stringValue(quorin::HostServer::kMonitorKey);
  const auto monitors = components.desktop()->monitors();
  if (monitors.empty()) {
    std::printf("The desktop's screen-sharing dialog chooses the monitor.\n");
    return 0;
  }
  for (const quorin::Monitor& monitor : monitors) {
    const quorin::ScreenRect& r = monitor.rect;
    std::printf("%s %dx%d+%d+%d%s%s\n", monitor.name.c_str(), r.width, r.height, r.x, r.y,
                monitor.primary ? " primary" : "", monitor.name == chosen ? " (shared)" : "");
  }
  return 0;
}

bool chooseMonitor(const std::string& name) {
  quorin::EventLoop loop;
  quorin::HostComponents components(loop);
  if (!components.defaults().setString(quorin::HostServer::kMonitorKey, name)) {
    std::fprintf(stderr, "quorin-remote-host: the monitor choice could not be saved\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // At most one option, and --monitor NAME before or after it.
  std::optional<std::string> monitor;
  std::string_view option;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--monitor") {
      if (i + 1 == argc || monitor) {
        std::fprintf(stderr, "quorin-remote-host: give --monitor once, with a NAME\n%s", kUsage);
        return 2;
      }
      monitor = argv[++i];
    } else if (!option.empty()) {
      std::fprintf(stderr, "quorin-remote-host: give at most one option\n%s", kUsage);
      return 2;
    } else {
      option = argument;
    }
  }
  if (monitor) {
    if (!chooseMonitor(*monitor)) return 1;
    // A host that runs already takes the choice from its next client on, so the choice
    // alone starts no second host (which would find the port taken).
    if (option.empty()) {
      std::printf(monitor->empty() ? "The primary monitor is shared from the next client on.\n"
                                   : "The monitor %s is shared from the next client on.\n",
                  monitor->c_str());
      return 0;
    }
  }
  if (option == "--list-monitors") return listMonitors();
  if (option == "--help" || option == "-h") {
    std::printf("%s", kUsage);
    return 0;
  }
  if (option == "--version") {
    std::printf("quorin-remote-host %s\n", kQuorinVersion);
    return 0;
  }
  if (option == "--pair") return printPairing(true);
  if (option == "--pairing-text") return printPairing(false);
  if (option == "--reset-key") return resetKey();
  if (option == "--headless") return quorin::runHeadlessHost();
  if (option.empty()) {
    if (quorin::Permissions::hasGraphicalSession()) return quorin::runTrayApplication(argc, argv);
    return quorin::runHeadlessHost();
  }
  std::fprintf(stderr, "quorin-remote-host: unknown option '%s'\n%s", std::string(option).c_str(), kUsage);
  return 2;
}
