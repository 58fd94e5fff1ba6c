#pragma once
// A named thread running one Asio io_context: the host's "server" queue. Every listener
// callback, TLS handshake, channel read and write runs here, one at a time.
// Construct and destroy on the owning thread; context() and post() from any thread.

#include <asio/io_context.hpp>
#include <asio/executor_work_guard.hpp>

#include <string>
#include <thread>

#include "base/task_runner.h"

namespace quorin {

class IoThread final : public TaskRunner {
 public:
  explicit IoThread(std::string name);
  ~IoThread() override;  // stops the context and joins the thread
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  asio::io_context& context() { return context_; }
  void post(Task task) override;
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace quorin
