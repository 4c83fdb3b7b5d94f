// Robot state and inverse kinematics: read-only queries that never move the robot.

#include <stdexcept>

#include "brevacon_impl.h"

namespace epson {

std::vector<double> Brevacon::Impl::getState() {
  if (channel_.motionRunning()) {
    throw std::runtime_error(
        "getState() skipped: a motion command is in progress and holds the connection until "
        "the move completes");
  }
  std::unique_lock<SessionMutex> session(sessionMutex_, std::defer_lock);
  if (!session.try_lock_until(Clock::now() + kStateLockWait)) {
    throw TimeoutError("getState() timed out waiting for the connection");
  }
  return protocol::parseState(executeAndGetResult_(protocol::kStateQuery));
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
    } catch (const std::exception& e) {
      throw std::runtime_error(protocol::ikFailureMessage(joint, query, e.what()));
    }
    joints.push_back(protocol::parseIkJoint(result, joint));
  }
  return joints;
}

}  // namespace epson
