#include "app/tray_item.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QScreen>

#include "app/panel_placement.h"
#include "app/ui_style.h"
#include "base/log.h"

namespace quorin {
namespace {

constexpr int kTrayIconSize = 22;
constexpr qint64 kReopenGuardMs = 300;

}  // namespace

TrayItem::TrayItem(MenuViewModel::Environment panel, HostIdentity& identity,
                   std::chrono::milliseconds trayWait)
    : panelEnvironment_(std::move(panel)), identity_(identity), trayWait_(trayWait) {
  tray_.setToolTip(QStringLiteral("Quorin Remote"));
  updateIcon();
  observerToken_ = panelEnvironment_.server->addObserver([this](HostServer::Property property) {
    if (property == HostServer::Property::isRunning) updateIcon();
  });
  connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) togglePanel(QCursor::pos());
  });
  waitingForTray_.start();
  trayPoll_.setInterval(200);
  connect(&trayPoll_, &QTimer::timeout, this, [this] { lookForTray(); });
  lookForTray();
}

TrayItem::~TrayItem() { panelEnvironment_.server->removeObserver(observerToken_); }

void TrayItem::lookForTray() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    trayPoll_.stop();
    tray_.show();
    return;
  }
  if (waitingForTray_.elapsed() < trayWait_.count()) {
    if (!trayPoll_.isActive()) trayPoll_.start();
    return;
  }
  trayPoll_.stop();
  usesWindow_ = true;
  logLine("no system tray found: the panel opens as a window, and closing it quits");
  makePanel(Qt::Window);
  panel_->setWindowTitle(QStringLiteral("Quorin Remote"));
  panel_->show();
}

void TrayItem::makePanel(Qt::WindowFlags flags) {
  panel_ = std::make_unique<MenuContent>(panelEnvironment_, identity_);
  panel_->setWindowFlags(flags);
  panel_->installEventFilter(this);
}

void TrayItem::togglePanel(std::optional<QPoint> clickedAt) {
  if (usesWindow_) {
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
    return;
  }
  if (!panel_) makePanel(Qt::Popup | Qt::FramelessWindowHint);
  if (panel_->isVisible()) {
    panel_->hide();
    return;
  }
  if (sinceHidden_.isValid() && sinceHidden_.elapsed() < kReopenGuardMs) return;

  panel_->adjustSize();
  // An icon embedded in an XEmbed tray may not know where it is (Qt reports it at the
  // tray's origin); the pointer that just clicked it does.
  QRect icon = tray_.geometry();
  if (clickedAt && !icon.contains(*clickedAt)) {
    icon = QRect(*clickedAt - QPoint(kTrayIconSize / 2, kTrayIconSize / 2), QSize(kTrayIconSize, kTrayIconSize));
  }
  const QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect available = screen->availableGeometry();
  std::optional<ScreenRect> iconRect;
  if (icon.isValid()) iconRect = ScreenRect{icon.x(), icon.y(), icon.width(), icon.height()};
  const PixelPoint origin = panelOrigin(iconRect, panel_->width(), panel_->height(),
                                         {available.x(), available.y(), available.width(), available.height()});
  panel_->move(origin.x, origin.y);
  panel_->show();
}

bool TrayItem::eventFilter(QObject* watched, QEvent* event) {
  if (watched == panel_.get()) {
    if (event->type() == QEvent::Hide) sinceHidden_.start();
    if (event->type() == QEvent::Close && usesWindow_) QApplication::quit();
  }
  return QObject::eventFilter(watched, event);
}

void TrayItem::updateIcon() {
  const bool running = panelEnvironment_.server->isRunning();
  tray_.setIcon(ui::symbolIcon(running ? "display" : "display.trianglebadge.exclamationmark",
                               kTrayIconSize, ui::colorOf(running ? Tint::teal : Tint::orange)));
}

}  // namespace quorin
