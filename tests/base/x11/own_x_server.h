#pragma once
// An Xvfb of the test's own, which the test may stop (SIGSTOP: it accepts connections and
// answers nothing, like a hung server) without disturbing the X server other tests share.
// Resumed and killed at destruction (tests only).

#include <signal.h>

#include <string>

#include "fakes/child_process.h"

namespace quorin {

class OwnXServer {
 public:
  OwnXServer()
      : process_({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "1280x720x24"}) {
    // -displayfd writes the display number once the server accepts connections.
    if (process_.waitForLine("")) name_ = ":" + process_.output().substr(0, process_.output().find('\n'));
  }
  ~OwnXServer() { resume(); }
  OwnXServer(const OwnXServer&) = delete;
  OwnXServer& operator=(const OwnXServer&) = delete;

  // As XOpenDisplay takes it; empty when the server did not start.
  const std::string& name() const { return name_; }
  void stop() { kill(process_.pid(), SIGSTOP); }
  void resume() { kill(process_.pid(), SIGCONT); }

 private:
  ChildProcess process_;
  std::string name_;
};

}  // namespace quorin
