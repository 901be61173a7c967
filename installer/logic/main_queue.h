// The main queue: work posted from any thread, run later on the main thread when the event loop
// drains it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class MainQueue {
 public:
  static MainQueue& shared();

  // Queues work; never runs it inside this call. Safe from any thread.
  void post(std::function<void()> work);

  // Runs the work queued so far, in order, on the calling (main) thread; returns how many ran.
  // Work posted while draining waits for the next drain.
  std::size_t drain();

  // Waits up to timeout for work, then drains; for loops that have no event loop of their own.
  std::size_t waitAndDrain(std::chrono::milliseconds timeout);

  // Called after each post, from the posting thread, so an event loop can schedule a drain.
  void setWaker(std::function<void()> waker);

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> work_;
  std::function<void()> waker_;
};
