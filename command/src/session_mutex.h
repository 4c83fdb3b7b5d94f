#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace epson {

// A timed mutex whose bounded try-lock waits against the steady clock.
//
// std::timed_mutex implements try_lock_until(steady_clock) with pthread_mutex_clocklock, which
// ThreadSanitizer (as shipped with GCC 12) does not intercept: it then reports every later unlock
// as an unlock of an unlocked mutex. A plain mutex with a condition variable gives the same
// contract (lock, unlock, try_lock_for/until on the monotonic clock) and is fully visible to the
// race detector. Not recursive.
class SessionMutex {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    released_.wait(guard, [this] { return !held_; });
    take_();
  }

  bool try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_) return false;
    take_();
    return true;
  }

  template <typename Clock, typename Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!released_.wait_until(guard, deadline, [this] { return !held_; })) return false;
    take_();
    return true;
  }

  template <typename Rep, typename Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
    return try_lock_until(std::chrono::steady_clock::now() + timeout);
  }

  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held_ = false;
      owner_ = std::thread::id();
    }
    released_.notify_one();
  }

  // True only on the thread that holds it.
  bool heldByThisThread() const { return owner_.load() == std::this_thread::get_id(); }

 private:
  void take_() {
    held_ = true;
    owner_ = std::this_thread::get_id();
  }

  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  std::atomic<std::thread::id> owner_{};
};

}  // namespace epson
