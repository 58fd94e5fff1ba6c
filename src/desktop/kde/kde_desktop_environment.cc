#include "desktop/kde/kde_desktop_environment.h"

#include <unistd.h>

#include <climits>

#include "desktop/kde/kde_display_stream.h"
#include "desktop/kde/kwin_connection.h"
#include "desktop/kde/kwin_event_sink.h"

namespace quorin {
namespace {

constexpr const char* kInstalledExecutable = "/usr/bin/quorin-remote-host";

std::string ownExecutable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, std::size_t(length)) : std::string("this program");
}

}  // namespace

KdeDesktopEnvironment::Offer KdeDesktopEnvironment::offer(const std::string& display) {
  kde::KwinConnection connection;
  CaptureError error;
  if (!connection.open(display, error) || !connection.isKwin()) return Offer::none;
  return connection.screencast() && connection.fakeInput() ? Offer::granted : Offer::hidden;
}

std::vector<Monitor> KdeDesktopEnvironment::monitors() {
  kde::KwinConnection connection;
  CaptureError error;
  if (!connection.open(display_, error)) return {};
  return connection.monitors();
}

DesktopEnvironment::Result KdeDesktopEnvironment::makeSession(const std::string& monitor,
                                                              const std::atomic<bool>& cancelled) {
  CaptureError error;
  std::unique_ptr<kde::KdeDisplayStream> stream =
      kde::KdeDisplayStream::open(display_, {.output = monitor}, &cancelled, error);
  if (!stream) return {nullptr, error};
  // KWin 5.27 sends an output's first picture only once something on it changes.
  const std::optional<PictureSize> first = awaitFirstPicture(*stream, cancelled, error);
  if (!first) return {nullptr, error};
  // Without fake input the client still watches; its input goes nowhere.
  std::unique_ptr<EventSink> sink = kde::openKwinEventSink(display_);
  const std::string output = stream->castOutput();
  return {std::make_unique<DesktopSession>(output, std::move(stream), *first, std::move(sink)), {}};
}

std::string kwinGrantAdvice() {
  const std::string executable = ownExecutable();
  const std::string why =
      executable == kInstalledExecutable
          ? std::string("KWin has not taken the package's menu entry into account yet (restart the host, or log "
                        "out and in again)")
          : "this host runs as " + executable + " (run the installed package to avoid it)";
  return "KWin shares the screen and input without asking only with a program that an installed desktop file "
         "grants them to; the package's menu entry grants them to " +
         std::string(kInstalledExecutable) + ", but " + why + ". KDE will ask at this computer before each connection";
}

}  // namespace quorin
