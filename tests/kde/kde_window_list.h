#pragma once
// The windows KWin shows, as its window list (org_kde_plasma_window_management) tells them: the
// uuid by which a test asks KWin to cast a window, and the window's place on the desktop. KWin
// offers that list only to a binary it grants it (a desktop file naming the binary, see
// scripts/lib/kwin.sh); elsewhere the list does not connect and error() says so. Tests only;
// use it on one thread, which waits for KWin's answers, each within a time limit.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/geometry.h"
#include "base/wayland_client.h"

struct org_kde_plasma_window_management;

namespace quorin {

class KdeWindowList {
 public:
  struct Window {
    std::string uuid{};
    std::string title{};
    std::string appId{};
    ScreenRect geometry{};  // in the desktop's coordinates, the outputs side by side
  };

  // Connects to `display` ($WAYLAND_DISPLAY when null) and reads the windows shown so far.
  explicit KdeWindowList(const char* display);
  ~KdeWindowList();
  KdeWindowList(const KdeWindowList&) = delete;
  KdeWindowList& operator=(const KdeWindowList&) = delete;

  // Why the list is not available, empty when it is.
  const std::string& error() const { return error_; }

  // The window whose title or app id is `name`, as soon as KWin has told all it knows of it;
  // nothing when none appears within `timeout` or the connection fails.
  std::optional<Window> find(std::string_view name,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Entry;      // one window as KWin tells it
  struct Listeners;  // KWin's events

  DisplayPtr display_;
  wl_registry* registry_ = nullptr;  // raw: its destroy function is static to each file
  org_kde_plasma_window_management* management_ = nullptr;
  std::map<std::string, std::unique_ptr<Entry>> windows_;  // by uuid, while shown
  std::string error_;
};

}  // namespace quorin
