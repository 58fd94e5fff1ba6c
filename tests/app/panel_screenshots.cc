// Renders the README's pictures of the tray panel and the pairing popover into a folder:
// panel-stopped.png, panel-running.png and pairing.png. The widgets are the real ones; the
// states they draw are set here, and the keyring is an in-memory one with a fresh key.
// Usage: panel_screenshots <folder>   (any Qt platform; scripts/screenshots uses offscreen)

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>

#include "app/menu_content.h"
#include "app/qt_task_runner.h"
#include "app/server_with_fakes.h"

namespace {

bool save(QWidget& widget, const QDir& folder, const char* name) {
  QApplication::processEvents();
  const bool saved = widget.grab().save(folder.filePath(QString::fromUtf8(name)));
  std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(folder.filePath(QString::fromUtf8(name))));
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: panel_screenshots <folder>\n");
    return 2;
  }
  QApplication application(argc, argv);
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  using namespace quorin;

  QtTaskRunner mainThread;
  ServerWithFakes host(mainThread, "studio");
  host.granted = false;
  MenuContent panel(host.environment(), host.identity);
  panel.setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  panel.show();
  QApplication::processEvents();

  bool ok = true;
  panel.apply({.isRunning = false, .autoStart = true, .hasScreen = true, .hasAccessibility = false});
  ok &= save(panel, folder, "panel-stopped.png");

  panel.apply({.isRunning = true,
               .connectedClient = "192.168.1.42:50712",
               .lastError = "Advertising on the local network failed: Local name collision.",
               .autoStart = true,
               .hasScreen = true,
               .hasAccessibility = true,
               .openAtLogin = true});
  ok &= save(panel, folder, "panel-running.png");

  panel.openPairing();
  ok &= panel.pairingView() && save(*panel.pairingView(), folder, "pairing.png");
  return ok ? 0 : 1;
}
