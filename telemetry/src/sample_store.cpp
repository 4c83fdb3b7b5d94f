#include "sample_store.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include <epson/errors.h>

namespace epson::telemetry {
namespace {

using Clock = SampleStore::Clock;

// Samples a take copies per hold of the lock: about 30 KB, a few microseconds.
constexpr std::uint64_t kCopyChunk = 256;

Clock::time_point deadlineAfter(std::chrono::nanoseconds timeout) {
  const auto now = Clock::now();
  return timeout >= Clock::time_point::max() - now ? Clock::time_point::max() : now + timeout;
}

std::string millisecondsText(std::chrono::nanoseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
         " ms";
}

}  // namespace

SampleStore::SampleStore(std::size_t capacity) : slots_(std::max<std::size_t>(capacity, 1)) {}

void SampleStore::open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    haveSample_ = false;
    open_ = true;
    ++run_;
  }
  cv_.notify_all();
}

void SampleStore::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  cv_.notify_all();
}

bool SampleStore::waitForFirst(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_until(lock, deadline, [this] {
    wakeAt_ = std::min(wakeAt_, position_ + 1);
    return haveSample_ || !open_;
  });
  return haveSample_;
}

void SampleStore::publish(const TelemetrySample& sample, Clock::time_point when) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[position_ % slots_.size()] = sample;
    ++position_;
    latestTime_ = when;
    haveSample_ = true;
    if (position_ >= wakeAt_) {
      wake = true;
      wakeAt_ = kNoWaiter;
    }
  }
  if (wake) cv_.notify_all();
}

bool SampleStore::hasSample() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return haveSample_;
}

TelemetrySample SampleStore::latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!haveSample_)
    throw std::runtime_error("No complete Epson telemetry sample has been received");
  return slot_(position_ - 1);
}

double SampleStore::ageSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!haveSample_) return std::numeric_limits<double>::infinity();
  return std::chrono::duration<double>(Clock::now() - latestTime_).count();
}

template <typename Ready>
bool SampleStore::waitUntil_(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                             std::uint64_t wake_at, const std::function<void()>& poll,
                             std::chrono::nanoseconds poll_interval, Ready ready) const {
  const std::uint64_t run = run_;
  for (;;) {
    // A new run during the wait ends it even when samples of that run are there: the caller
    // learns of the restart, and the samples stay for its next call.
    const bool restarted = run_ != run;
    if (!restarted && ready()) return true;
    if (restarted || !open_) {
      throw ConnectionLostError("The Epson telemetry receiver stopped while waiting for a sample");
    }
    const auto now = Clock::now();
    if (now >= deadline) return false;
    wakeAt_ = std::min(wakeAt_, wake_at);
    if (!poll) {
      cv_.wait_until(lock, deadline);
      continue;
    }
    const auto slice_end = deadline - now > poll_interval ? now + poll_interval : deadline;
    if (cv_.wait_until(lock, slice_end) == std::cv_status::timeout) {
      lock.unlock();
      poll();
      lock.lock();
    }
  }
}

TelemetrySample SampleStore::waitForSample(bool after_latest, std::uint64_t sequence,
                                           std::chrono::nanoseconds timeout,
                                           const std::function<void()>& poll,
                                           std::chrono::nanoseconds poll_interval) const {
  const auto deadline = deadlineAfter(timeout);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto latest_sequence = [this] { return haveSample_ ? slot_(position_ - 1).sequence : 0; };
  // A sequence from before a new connect() is above every current one: take the next sample.
  const std::uint64_t now_latest = latest_sequence();
  const std::uint64_t after = after_latest || sequence > now_latest ? now_latest : sequence;
  // Woken at every publication (wake_at 0): the sequence this waits for has no fixed position.
  if (!waitUntil_(lock, deadline, 0, poll, poll_interval,
                  [&] { return haveSample_ && latest_sequence() > after; })) {
    throw TimeoutError("No Epson telemetry sample arrived within " + millisecondsText(timeout));
  }
  return slot_(position_ - 1);
}

std::uint64_t SampleStore::position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return position_;
}

void SampleStore::take(std::uint64_t& next, std::uint64_t& missed,
                       std::vector<TelemetrySample>& out, std::chrono::nanoseconds max_wait,
                       std::uint64_t min_samples, const std::function<void()>& poll,
                       std::chrono::nanoseconds poll_interval) const {
  const auto deadline = deadlineAfter(max_wait);
  std::unique_lock<std::mutex> lock(mutex_);
  // Samples the writer overwrote count as there: they are missed, never waited for.
  const std::uint64_t target = next + std::max<std::uint64_t>(min_samples, 1);
  // Once the store is closed, no more will come: what is there is the batch.
  if (!waitUntil_(lock, deadline, target, poll, poll_interval,
                  [&] { return position_ >= target || (!open_ && position_ > next); }) &&
      position_ == next) {
    return;
  }
  const std::uint64_t end = position_;
  out.reserve(out.size() +
              static_cast<std::size_t>(std::min<std::uint64_t>(end - next, slots_.size())));
  for (;;) {
    // Whatever the writer overwrote before we reached it is lost to this reader: counted.
    const std::uint64_t oldest = position_ > slots_.size() ? position_ - slots_.size() : 0;
    if (next < oldest) {
      missed += oldest - next;
      next = oldest;
    }
    if (next >= end) return;
    const std::uint64_t stop = std::min(end, next + kCopyChunk);
    for (; next < stop; ++next) out.push_back(slot_(next));
    if (next >= end) return;
    lock.unlock();  // lets the writer publish between chunks
    lock.lock();
  }
}

}  // namespace epson::telemetry
