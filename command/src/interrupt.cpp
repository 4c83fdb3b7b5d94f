#include "interrupt.h"

#include <mutex>
#include <utility>

namespace epson {
namespace {

std::mutex& checkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const InterruptCheck>& currentCheck() {
  static std::shared_ptr<const InterruptCheck> check;
  return check;
}

}  // namespace

void setInterruptCheck(InterruptCheck check) {
  std::shared_ptr<const InterruptCheck> next;
  if (check) next = std::make_shared<const InterruptCheck>(std::move(check));
  std::lock_guard<std::mutex> lock(checkMutex());
  currentCheck().swap(next);
}

Interrupter::Interrupter() : nextLook_(Clock::now() + kInterruptSlice) {
  std::lock_guard<std::mutex> lock(checkMutex());
  check_ = currentCheck();
}

Interrupter::Clock::time_point Interrupter::wake(Clock::time_point deadline) const {
  return armed() && nextLook_ < deadline ? nextLook_ : deadline;
}

bool Interrupter::requested() {
  if (!armed()) return false;
  const auto now = Clock::now();
  if (now < nextLook_) return false;
  nextLook_ = now + kInterruptSlice;
  return (*check_)();
}

bool Interrupter::requestedNow() {
  if (!armed()) return false;
  nextLook_ = Clock::now() + kInterruptSlice;
  return (*check_)();
}

}  // namespace epson
