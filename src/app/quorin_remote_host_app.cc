#include "app/quorin_remote_host_app.h"

#include <QApplication>

#include "app/help_page.h"
#include "app/permissions.h"

namespace quorin {

QuorinRemoteHostApp::QuorinRemoteHostApp()
    : components_(mainThread_),
      server_(components_.makeServer()),
      loginItem_(QCoreApplication::applicationFilePath().toStdString()) {
  tray_ = std::make_unique<TrayItem>(
      MenuViewModel::Environment{
          .server = server_.get(),
          .flags = &permissions_,
          .permissions = components_.permissionServices(
              {.isAccessibilityTrusted = Permissions::isAccessibilityTrusted,
               .hasScreenRecording = Permissions::hasScreenRecording,
               .openScreenRecordingSettings = [] { HelpPage::show(HelpPage::kScreenRecording); },
               .openAccessibilitySettings = [] { HelpPage::show(HelpPage::kAccessibility); }}),
          .loginItem = &loginItem_,
          .mainThread = &mainThread_,
          .defaults = &components_.defaults(),
          .desktop = [this] { return components_.desktop(); },
          .canAskBeforeConnecting = components_.canAskBeforeConnecting(),
          .desktopNote = components_.desktopNote()},
      components_.identity());
}

QuorinRemoteHostApp::~QuorinRemoteHostApp() = default;

int runTrayApplication(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quorin-remote-host"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quorin Remote"));
  QApplication::setDesktopFileName(QStringLiteral("quorin-remote-host"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/quorin-remote-host.svg")));
  // The tray keeps the application alive; without a tray the panel window quits it itself.
  QApplication::setQuitOnLastWindowClosed(false);
  QuorinRemoteHostApp app;
  return QApplication::exec();
}

}  // namespace quorin
