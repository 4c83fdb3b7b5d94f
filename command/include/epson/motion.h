#pragma once

// A motion that runs while the program goes on: what Brevacon::startGo() and its siblings return.

#include <chrono>
#include <memory>
#include <string>

#include <epson/export.h>

namespace epson {

class Brevacon;

// One motion, run on a thread the handle owns: the blocking call (go(), move(), jump(), jump3())
// with its settings, heartbeat, abort and pause, and the handle to follow it by. The Brevacon
// must outlive its handles; destroying it aborts a motion that still runs.
//
// Concurrency: every member may be called from any thread. The motion's own thread holds the
// session for the motion's length, as a blocking call does; getRemoteStatus() and telemetry work
// meanwhile, other operations wait for the motion to end.
class EPSON_API Motion {
 public:
  Motion(Motion&&) noexcept;
  Motion& operator=(Motion&&) noexcept;
  // A motion still running is aborted, and its end waited for (at most what an abort allows).
  ~Motion();
  Motion(const Motion&) = delete;
  Motion& operator=(const Motion&) = delete;

  // The motion's statement as messages show it: $Execute,"Go P1".
  const std::string& statement() const;
  bool done() const;
  // Waits until the motion ends or `timeout` passes: true when it ended. The interrupt check
  // (<epson/interrupt.h>) stops the wait: the motion is then aborted, its end waited for, and
  // InterruptedError thrown.
  bool wait(std::chrono::milliseconds timeout);
  // Waits for the end (interruptible as wait() is), then returns, or throws what the blocking
  // call would have thrown: MotionAbortedError, ControllerError, ConnectionLostError, ...
  void get();
  // As Brevacon::abortMotion(), for this motion: false, nothing sent, once it has ended.
  bool abort();
  // As Brevacon::pause() and Brevacon::continueMotion().
  void pause();
  void continueMotion();

  struct State;  // private to the library

 private:
  friend class Brevacon;
  explicit Motion(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace epson
