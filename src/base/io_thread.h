#pragma once
// A named thread running one Asio io_context: the host's "server" queue. Every listener
// callback, TLS handshake, channel read and write runs here, one at a time.
// Construct and destroy on the owning thread; context() and post() from any thread.

#include <asio/io_context.hpp>
#include <asio/executor_work_guard.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
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
  // Lets the work under way end by itself (a connection sending its last words), for at most
  // `limit`; then nothing more runs. Call once, before destruction.
  void finish(std::chrono::milliseconds limit);
  void post(Task task) override;
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::mutex mutex_;
  std::condition_variable ranOut_;
  bool idle_ = false;  // run() returned: no work was left
  std::thread thread_;
};

}  // namespace quorin
