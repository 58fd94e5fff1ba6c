#include "base/event_loop.h"

namespace quorin {

void EventLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void EventLoop::run() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    wake_.wait(lock, [this] { return quit_ || !tasks_.empty(); });
    while (!quit_ && !tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  quit_ = false;  // this quit is spent; the next run() serves until the next one
}

void EventLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
}

int EventLoop::runFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!wake_.wait_for(lock, timeout, [this] { return !tasks_.empty(); })) return 0;
  int ran = 0;
  std::deque<Task> ready;
  ready.swap(tasks_);
  lock.unlock();
  for (auto& task : ready) {
    task();
    ++ran;
  }
  return ran;
}

}  // namespace quorin
