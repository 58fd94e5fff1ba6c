#pragma once
// The one QApplication of a widget test process, and a wait that keeps its events flowing
// (tests only).

#include <QApplication>

#include <chrono>
#include <functional>

namespace quorin {

// Makes the application on Qt's `platform` ("offscreen", "xcb") unless one exists.
inline void startApplication(const char* platform) {
  static int argc = 1;
  static char name[] = "quorin-test";
  static char* argv[] = {name, nullptr};
  if (QApplication::instance()) return;
  qputenv("QT_QPA_PLATFORM", platform);
  new QApplication(argc, argv);
}

// Runs events (deferred deletes included) until `done` or `timeout`; returns done().
inline bool processUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

}  // namespace quorin
