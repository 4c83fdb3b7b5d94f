// The keep-alive: $GetStatus written while the session is idle, so that the controller's remote
// Timeout never ends a session that is merely quiet.

#include <algorithm>

#include "brevacon_impl.h"
#include "log.h"

namespace epson {

namespace {

// A line goes out when this share of the keepalive has passed since the last one: the rest is
// the margin for the wake-up and the write.
constexpr double kKeepaliveShare = 0.75;

}  // namespace

void Brevacon::Impl::startKeepalive_(std::chrono::milliseconds keepalive) {
  stopKeepalive_();
  channel_.setKeepalive(keepalive);
  if (keepalive.count() <= 0) return;
  {
    std::lock_guard<std::mutex> lock(keepaliveMutex_);
    keepaliveStop_ = false;
  }
  keepalive_ = std::thread([this, keepalive] { keepaliveLoop_(keepalive); });
}

void Brevacon::Impl::stopKeepalive_() {
  {
    std::lock_guard<std::mutex> lock(keepaliveMutex_);
    keepaliveStop_ = true;
  }
  keepaliveCv_.notify_all();
  if (keepalive_.joinable()) keepalive_.join();
  channel_.setKeepalive(std::chrono::milliseconds(0));
}

void Brevacon::Impl::keepaliveLoop_(std::chrono::milliseconds keepalive) {
  const auto period = std::chrono::duration_cast<Clock::duration>(keepalive * kKeepaliveShare);
  // Waiting for the lock longer than this would let the gap grow past the keepalive; an
  // operation that holds the lock writes lines of its own meanwhile.
  const auto lock_wait = std::max<Clock::duration>(period / 8, std::chrono::milliseconds(1));
  std::unique_lock<std::mutex> stop(keepaliveMutex_);
  while (!keepaliveStop_) {
    const auto due = channel_.lastWrite() + period;
    if (Clock::now() < due) {
      keepaliveCv_.wait_until(stop, due, [this] { return keepaliveStop_; });
      continue;
    }
    stop.unlock();
    {
      SessionLock session(sessionMutex_, std::defer_lock);
      if (session.try_lock_for(lock_wait) && channel_.isOpen() && !channel_.motionRunning() &&
          Clock::now() >= channel_.lastWrite() + period) {
        try {
          command_(protocol::kGetStatusCommand, kReplyTimeout);
        } catch (const std::exception& e) {
          // The session is torn down; the next operation reports it. Nothing to keep now.
          log::error(std::string("Epson keep-alive failed: ") + e.what());
        }
      }
    }
    stop.lock();
    if (!channel_.isOpen()) {
      // Nothing to keep until connect() starts a new thread.
      keepaliveCv_.wait(stop, [this] { return keepaliveStop_; });
    }
  }
}

}  // namespace epson
