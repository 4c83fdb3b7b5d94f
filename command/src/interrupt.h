#pragma once

// The interrupt check as one waiting call sees it: the check installed when the call began.

#include <chrono>
#include <memory>

#include <epson/interrupt.h>

namespace epson {

class Interrupter {
 public:
  using Clock = std::chrono::steady_clock;

  Interrupter();

  // Whether a check is installed; without one, waits need no slices.
  bool armed() const { return check_ != nullptr; }
  // When the next look is due: `deadline`, or sooner by a slice when armed.
  Clock::time_point wake(Clock::time_point deadline) const;
  // Asks the check once its slice has passed; false when unarmed or not yet due.
  bool requested();
  // Asks the check now, whether or not its slice has passed: at a point of no return, such as
  // just before a motion's statement is written.
  bool requestedNow();

 private:
  std::shared_ptr<const InterruptCheck> check_;
  Clock::time_point nextLook_;
};

}  // namespace epson
