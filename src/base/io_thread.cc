#include "base/io_thread.h"

#include <pthread.h>

#include <asio/post.hpp>

namespace quorin {

IoThread::IoThread(std::string name)
    : work_(asio::make_work_guard(context_)),
      thread_([this, name = std::move(name)] {
        // Linux limits thread names to 15 characters.
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        context_.run();
        std::lock_guard lock(mutex_);
        idle_ = true;
        ranOut_.notify_all();
      }) {}

IoThread::~IoThread() {
  work_.reset();
  context_.stop();
  thread_.join();
}

void IoThread::finish(std::chrono::milliseconds limit) {
  work_.reset();
  std::unique_lock lock(mutex_);
  ranOut_.wait_for(lock, limit, [this] { return idle_; });
  lock.unlock();
  context_.stop();
}

void IoThread::post(Task task) { asio::post(context_, std::move(task)); }

}  // namespace quorin
