// Robot state and inverse kinematics: read-only queries that never move the robot.

#include <stdexcept>
#include <string>

#include "brevacon_impl.h"

namespace epson {
namespace {

// Rethrows the exception being handled with `context` before its text, as its own class and
// with its fields: a caller that tells a refusal from a lost connection still can.
[[noreturn]] void rethrowWithContext(const std::string& context) {
  try {
    throw;
  } catch (const ControllerError& e) {
    const std::string text = context + e.what();
    if (dynamic_cast<const MotionAbortedError*>(&e) != nullptr) {
      throw MotionAbortedError(text, e.code(), e.command(), e.reply());
    }
    throw ControllerError(text, e.code(), e.command(), e.reply());
  } catch (const TimeoutError& e) {
    throw TimeoutError(context + e.what());
  } catch (const ConnectionLostError& e) {
    throw ConnectionLostError(context + e.what());
  } catch (const ConnectionFailedError& e) {
    throw ConnectionFailedError(context + e.what());
  } catch (const InterruptedError& e) {
    throw InterruptedError(context + e.what());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(context + e.what());
  } catch (const std::exception& e) {
    throw std::runtime_error(context + e.what());
  }
}

}  // namespace

std::string Brevacon::Impl::stateQuery(const std::string& what, const std::string& query) {
  refuseReentry_();
  if (channel_.motionRunning()) {
    throw std::runtime_error(
        what +
        " skipped: a motion command is in progress and holds the connection until the move "
        "completes");
  }
  std::unique_lock<SessionMutex> session(sessionMutex_, std::defer_lock);
  if (!session.try_lock_until(Clock::now() + kStateLockWait)) {
    throw TimeoutError(what + " timed out waiting for the connection");
  }
  return executeAndGetResult_(query);
}

std::vector<double> Brevacon::Impl::getState() {
  return protocol::parseState(stateQuery("getState()", protocol::kStateQuery));
}

std::vector<double> Brevacon::Impl::inverseKinematics(
    const std::vector<double>& pose, bool ljm,
    const std::optional<std::vector<double>>& reference) {
  const SessionLock session = lockSession_();
  const std::string point = protocol::buildIkPoint(pose, ljm, reference);
  std::vector<double> joints;
  joints.reserve(6);
  for (int joint = 1; joint <= 6; ++joint) {
    const std::string query = protocol::ikQuery(point, joint);
    std::string result;
    try {
      result = executeAndGetResult_(query);
    } catch (const std::exception&) {
      rethrowWithContext(protocol::ikFailureMessage(joint, query, ""));
    }
    joints.push_back(protocol::parseIkJoint(result, joint));
  }
  return joints;
}

}  // namespace epson
