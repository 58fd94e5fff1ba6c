#include "app/help_page.h"

#include <QFile>
#include <QPointer>
#include <QTextBrowser>

#include <cstdlib>
#include <string>

#include "app/markdown_section.h"

namespace quorin::HelpPage {
namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string thisSession() {
  std::string type = environmentValue("XDG_SESSION_TYPE");
  if (type.empty()) type = !environmentValue("WAYLAND_DISPLAY").empty() ? "wayland"
                           : !environmentValue("DISPLAY").empty()       ? "x11"
                                                                        : "";
  const std::string desktop = environmentValue("XDG_CURRENT_DESKTOP");
  std::string line = type == "wayland" ? "a Wayland session"
                     : type == "x11"   ? "an X11 session on display " + environmentValue("DISPLAY")
                                       : "no graphical session found";
  if (!desktop.empty()) line += " (" + desktop + ")";
  return "**This desktop:** " + line + ".\n\n";
}

}  // namespace

void show(std::string_view topic) {
  static QPointer<QTextBrowser> window;
  if (!window) {
    window = new QTextBrowser;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setOpenExternalLinks(true);
    window->resize(560, 440);
  }
  QFile readme(QStringLiteral(":/help/README.md"));
  readme.open(QIODevice::ReadOnly);
  const auto section = markdownSection(readme.readAll().toStdString(), "#### " + std::string(topic));
  window->setMarkdown(QString::fromStdString(thisSession() + section.value_or("")));
  window->setWindowTitle(QStringLiteral("Quorin Remote: %1").arg(QString::fromUtf8(topic.data(), topic.size())));
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace quorin::HelpPage
