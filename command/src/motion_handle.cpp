// Motions to targets (the posture a Pose keeps), and motions run on a thread of their own behind
// a Motion handle.

#include <epson/motion.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "brevacon_impl.h"
#include "interrupt.h"

namespace epson {

// Concurrency design: `mutex` guards the flags and the error; `changed` wakes the waiters when
// the statement is written and when the motion ends. `join_mutex` lets one caller join the thread.
// The thread only runs the blocking motion and then records how it ended.
struct Motion::State {
  Brevacon* robot = nullptr;
  std::string statement;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  bool written = false;
  bool done = false;
  std::exception_ptr error;
  std::mutex join_mutex;

  void join() {
    std::lock_guard<std::mutex> lock(join_mutex);
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
  }
};

// --- Motions to targets -------------------------------------------------------------------------

void Brevacon::Impl::targetMotion(const std::vector<Target>& targets, bool keep_posture,
                                  const Planner& plan, const std::function<void()>& on_written) {
  plan(std::nullopt);  // every argument checked before anything is sent or waited for
  bool needs_posture = false;
  for (const Target& target : targets) needs_posture = needs_posture || protocol::isPose(target);
  const SessionLock session = lockSession_();
  long_(
      [&] {
        std::optional<protocol::Posture> posture;
        if (keep_posture && needs_posture) {
          posture = protocol::parsePosture(executeAndGetResult_(protocol::kPostureQuery));
        }
        return plan(posture);
      },
      kMotionTimeout, on_written);
}

Motion Brevacon::Impl::start(Brevacon& robot, std::vector<Target> targets, bool keep_posture,
                             Planner plan) {
  const protocol::MotionPlan checked = plan(std::nullopt);
  auto state = std::make_shared<Motion::State>();
  state->robot = &robot;
  state->statement = protocol::shownCommandBrief(checked.motion);
  {
    std::lock_guard<std::mutex> lock(handleMutex_);
    std::string running = channel_.runningMotion();
    if (running.empty() && handle_) {
      std::lock_guard<std::mutex> handle(handle_->mutex);
      if (!handle_->done) running = handle_->statement;
    }
    if (!running.empty()) {
      throw std::runtime_error("A motion is running on this session: " + running +
                               "; wait for it or abort it before starting another");
    }
    handle_ = state;
  }
  state->thread = std::thread(
      [this, state, targets = std::move(targets), keep_posture, plan = std::move(plan)] {
        std::exception_ptr error;
        try {
          targetMotion(targets, keep_posture, plan, [&state] {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->written = true;
            state->changed.notify_all();
          });
        } catch (...) {
          error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        state->error = error;
        state->done = true;
        state->changed.notify_all();
      });
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&state] { return state->written || state->done; });
  if (!state->written) {
    // Refused before the statement went out (a setting, the posture, a lost session): raised
    // here, as the blocking call would.
    lock.unlock();
    state->join();
    std::rethrow_exception(state->error);
  }
  return Motion(state);
}

void Brevacon::Impl::abortHandle_() noexcept {
  std::shared_ptr<Motion::State> state;
  {
    std::lock_guard<std::mutex> lock(handleMutex_);
    state = handle_;
  }
  if (!state) return;
  try {
    std::string reply;
    channel_.abortMotion(reply);
  } catch (...) {
    // The motion's own thread reports how it ended; all that matters here is that it ends.
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&state] { return state->done; });
}

// --- The handle ---------------------------------------------------------------------------------

Motion::Motion(std::shared_ptr<State> state) : state_(std::move(state)) {}
Motion::Motion(Motion&&) noexcept = default;
Motion& Motion::operator=(Motion&& other) noexcept {
  if (this != &other) {
    Motion old(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}

Motion::~Motion() {
  if (!state_) return;
  try {
    if (!done()) abort();
  } catch (...) {
    // Ending it is what matters: its thread ends with the motion either way.
  }
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->done; });
  }
  state_->join();
}

const std::string& Motion::statement() const { return state_->statement; }

bool Motion::done() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->done;
}

bool Motion::wait(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  const auto deadline = timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(
                                       Clock::time_point::max() - now)
                            ? Clock::time_point::max()
                            : now + timeout;
  Interrupter interrupter;
  std::unique_lock<std::mutex> lock(state_->mutex);
  for (;;) {
    if (state_->done) return true;
    if (Clock::now() >= deadline) return false;
    state_->changed.wait_until(lock, interrupter.wake(deadline), [this] { return state_->done; });
    if (state_->done) return true;
    lock.unlock();
    if (interrupter.requested()) {
      // As a blocking call does on an interrupt: stop the robot, wait for the motion to end.
      bool aborted = false;
      try {
        aborted = state_->robot->abortMotion();
      } catch (...) {
        aborted = false;
      }
      lock.lock();
      const bool ended =
          state_->changed.wait_for(lock, Brevacon::kControlReplyTimeout + Brevacon::kReplyTimeout,
                                   [this] { return state_->done; });
      throw InterruptedError("Interrupted while waiting for the motion " + state_->statement +
                             (aborted ? "; it was aborted" : "; its abort was not accepted") +
                             (ended ? " and has ended" : ", and it had not ended"));
    }
    lock.lock();
  }
}

void Motion::get() {
  wait(std::chrono::milliseconds::max());
  state_->join();
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->error) std::rethrow_exception(state_->error);
}

bool Motion::abort() {
  if (done()) return false;
  return state_->robot->abortMotion();
}

void Motion::pause() { state_->robot->pause(); }
void Motion::continueMotion() { state_->robot->continueMotion(); }

}  // namespace epson
