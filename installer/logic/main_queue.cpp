// The main queue: work posted from any thread, run later on the main thread.
#include "main_queue.h"

MainQueue& MainQueue::shared() {
  static MainQueue queue;
  return queue;
}

void MainQueue::post(std::function<void()> work) {
  std::function<void()> waker;
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
    waker = waker_;
  }
  posted_.notify_all();
  if (waker) waker();
}

std::size_t MainQueue::drain() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(work_);
  }
  for (auto& work : batch) work();
  return batch.size();
}

std::size_t MainQueue::waitAndDrain(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    posted_.wait_for(lock, timeout, [this] { return !work_.empty(); });
  }
  return drain();
}

void MainQueue::setWaker(std::function<void()> waker) {
  std::lock_guard lock(mutex_);
  waker_ = std::move(waker);
}
