#pragma once

// The samples a receiver publishes: the latest one, with its age, and the ring of recent ones
// that sample readers take from. No sockets and no parsing: the receive thread hands it finished
// samples, and tests drive it directly.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include <epson/telemetry_sample.h>

namespace epson::telemetry {

// Concurrency design.
//
// One writer, the receive thread, calls publish(); any number of threads read. mutex_ guards
// every member; cv_ wakes every kind of wait (readiness, the next sample, a reader's take). The
// writer holds the lock only to copy one sample into its slot. It notifies, after releasing the
// lock, only when the ring reaches the position a waiter asked to be woken at (wakeAt_, the
// lowest such position): a publication nobody waits for makes no system call, and a reader
// that waits for a batch is woken once per batch, not once per sample. A take copies at most
// kCopyChunk samples per hold of the lock, so a reader draining the whole ring delays the writer
// by a few microseconds at most.
//
// The receiver owns the store through a shared_ptr and each sample reader holds another: a
// reader that outlives its receiver finds the store closed instead of a dangling pointer.
class SampleStore {
 public:
  using Clock = std::chrono::steady_clock;

  // The ring's slots are allocated (and touched) here, once: publish() never allocates.
  explicit SampleStore(std::size_t capacity);

  // --- The receiver's life: connect() opens a run, disconnect() closes it -------------------
  // A new run: no latest sample until the next publication (its sequence restarts), and a wait
  // begun during the previous run ends with ConnectionLostError. The ring keeps its samples:
  // readers go on into the new run.
  void open();
  // Ends every wait: sample waits throw ConnectionLostError; a take returns what is left in the
  // ring first.
  void close();
  // Waits until the first sample of the run is published (true) or the store is closed or the
  // deadline passes (false).
  bool waitForFirst(Clock::time_point deadline);

  // --- The receive thread --------------------------------------------------------------------
  void publish(const TelemetrySample& sample, Clock::time_point when);

  // --- The latest sample ---------------------------------------------------------------------
  bool hasSample() const;
  // Throws std::runtime_error before the first sample of the run.
  TelemetrySample latest() const;
  // Seconds since the latest sample was published; +infinity when there is none.
  double ageSeconds() const;
  // The first sample published after the call begins (`after_latest`), else the first whose
  // sequence is above `sequence` (the latest one at once when it already is; a sequence above
  // the latest one, from an earlier run, waits for the next sample). Throws TimeoutError after
  // `timeout` and ConnectionLostError when the store is closed or reopened meanwhile. With a
  // `poll`, waits in slices of `poll_interval` and calls it between them, without the lock.
  TelemetrySample waitForSample(bool after_latest, std::uint64_t sequence,
                                std::chrono::nanoseconds timeout, const std::function<void()>& poll,
                                std::chrono::nanoseconds poll_interval) const;

  // --- Readers ---------------------------------------------------------------------------------
  // Where a reader made now starts: the position of the next sample to be published. Positions
  // count every publication since construction and never restart.
  std::uint64_t position() const;
  // Appends to `out`, oldest first, the samples from position `next` on and moves `next` past
  // them. Samples overwritten before this call reached them are skipped and added to `missed`.
  // Waits until at least `min_samples` (1 or more) are there or `max_wait` passes, then takes
  // what is there (possibly nothing). Throws ConnectionLostError when there is none and the
  // store is closed, or when it is reopened during the wait. `poll` and `poll_interval` as for
  // waitForSample.
  void take(std::uint64_t& next, std::uint64_t& missed, std::vector<TelemetrySample>& out,
            std::chrono::nanoseconds max_wait, std::uint64_t min_samples,
            const std::function<void()>& poll, std::chrono::nanoseconds poll_interval) const;

  std::size_t capacity() const { return slots_.size(); }

 private:
  // Waits on cv_ until `ready` holds, the deadline passes (false) or the run ends (throws). The
  // writer wakes it once the ring reaches position `wake_at` (0: at every publication).
  template <typename Ready>
  bool waitUntil_(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                  std::uint64_t wake_at, const std::function<void()>& poll,
                  std::chrono::nanoseconds poll_interval, Ready ready) const;
  const TelemetrySample& slot_(std::uint64_t position) const {
    return slots_[position % slots_.size()];
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<TelemetrySample> slots_;
  std::uint64_t position_ = 0;  // publications so far; the latest is at position_ - 1
  Clock::time_point latestTime_;
  bool haveSample_ = false;  // in this run
  bool open_ = false;
  std::uint64_t run_ = 0;  // open() calls: a wait that sees it change was cut off
  // The lowest position_ a waiter asked to be woken at; none when no one waits. A woken waiter
  // whose own condition does not hold yet asks again.
  mutable std::uint64_t wakeAt_ = kNoWaiter;
  static constexpr std::uint64_t kNoWaiter = ~std::uint64_t{0};
};

}  // namespace epson::telemetry
