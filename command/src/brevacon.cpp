// Brevacon's public operations: each forwards to its Impl, which holds the state, the locks and
// the socket (brevacon_impl.h).

#include <epson/brevacon.h>

#include "brevacon_impl.h"

namespace epson {

Brevacon::Brevacon() : impl_(std::make_unique<Impl>()) {}
Brevacon::~Brevacon() = default;

void Brevacon::connect(const std::string& host, std::uint16_t port, const std::string& password,
                       const ConnectOptions& options) {
  impl_->connect(host, port, password, options);
}
void Brevacon::disconnect() { impl_->disconnect(); }
bool Brevacon::isConnected() const { return impl_->isConnected(); }
bool Brevacon::isLoggedIn() const { return impl_->isLoggedIn(); }
void Brevacon::keepCredentials(bool keep) { impl_->keepCredentials(keep); }
std::optional<std::string> Brevacon::secureAfterLostSession(std::chrono::milliseconds budget) {
  return impl_->secureAfterLostSession(budget);
}

ControllerStatus Brevacon::getControllerStatus() {
  return impl_->query(protocol::kStatusQuery, protocol::parseControllerStatus);
}
bool Brevacon::isEmergencyStopped() { return impl_->locked(&Impl::isEmergencyStopped_); }
void Brevacon::resetController() { impl_->execute(protocol::kResetStatement); }
void Brevacon::motorOn() { impl_->motorOn(); }
void Brevacon::motorOff() { impl_->motorOff(); }
std::string Brevacon::motorOnError() { return impl_->motorOnError(); }
void Brevacon::pause() {
  impl_->sendMotionControlCommand_(protocol::kPauseCommand,
                                   [this] { return impl_->channel_.pauseMotion(); });
}
void Brevacon::continueMotion() {
  impl_->sendMotionControlCommand_(protocol::kContinueCommand,
                                   [this] { return impl_->channel_.continueMotion(); });
}
bool Brevacon::abortMotion() { return impl_->abortMotion(); }
RemoteStatus Brevacon::getRemoteStatus() {
  return protocol::parseRemoteStatus(impl_->sendMotionControlCommand_(protocol::kGetStatusCommand));
}
EpsonPowerMode Brevacon::getPowerMode() { return impl_->locked(&Impl::getPowerMode_); }
void Brevacon::setPowerMode(EpsonPowerMode mode) { impl_->setPowerMode(mode); }
PtpMotionLimits Brevacon::getPtpMotionLimits() {
  return impl_->query(protocol::kAccelMaxQuery, protocol::parseAccelMax);
}

void Brevacon::tlSet(int tool_num, const std::string& tool_def_point) {
  impl_->locked(&Impl::tlSet_, tool_num, tool_def_point);
}
void Brevacon::tlClear(int tool_num) { impl_->locked(&Impl::tlClear_, tool_num); }
void Brevacon::setTool(int tool_num) { impl_->locked(&Impl::setTool_, tool_num); }
int Brevacon::getTool() { return impl_->locked(&Impl::getTool_); }
bool Brevacon::isToolDefined(int tool_num) {
  return impl_->locked(&Impl::isToolDefined_, tool_num);
}
std::vector<double> Brevacon::getToolDefinition(int tool_num) {
  return impl_->locked(&Impl::getToolDefinition_, tool_num);
}
std::vector<double> Brevacon::getTcpOffset() { return impl_->getTcpOffset(); }
void Brevacon::setTcpOffset(const std::vector<double>& pose) { impl_->setTcpOffset(pose); }
void Brevacon::restoreTcpOffset() { impl_->locked(&Impl::restoreTcpOffset_); }

std::vector<double> Brevacon::getState() { return impl_->getState(); }
std::vector<double> Brevacon::inverseKinematics(
    const std::vector<double>& cartesian_pose, bool least_joint_motion,
    const std::optional<std::vector<double>>& reference_joint_positions) {
  return impl_->inverseKinematics(cartesian_pose, least_joint_motion, reference_joint_positions);
}

namespace {

// Each motion as a planner of its statement for the posture a Pose keeps. The planners own
// copies of their arguments: a started motion runs them on its own thread.
auto goPlanner(const Target& destination, bool cp, bool ljm, std::optional<int> orientation_flag,
               const std::optional<std::string>& search_expression,
               const std::optional<std::string>& parallel_processing, bool sync,
               std::optional<int> speed_percent, std::optional<int> acceleration_percent,
               std::optional<int> deceleration_percent) {
  protocol::validateTarget(destination, "destination");
  return [=](const std::optional<protocol::Posture>& posture) {
    return protocol::planGo(protocol::targetText(destination, posture), cp, ljm, orientation_flag,
                            search_expression, parallel_processing, sync, speed_percent,
                            acceleration_percent, deceleration_percent);
  };
}

auto movePlanner(const Target& destination, bool rot, bool ecp, bool cp,
                 const std::optional<std::string>& search_expression,
                 const std::optional<std::string>& parallel_processing, bool sync,
                 std::optional<double> speed_mm_s, std::optional<double> acceleration_mm_s2) {
  protocol::validateTarget(destination, "destination");
  return [=](const std::optional<protocol::Posture>& posture) {
    return protocol::planMove(protocol::targetText(destination, posture), rot, ecp, cp,
                              search_expression, parallel_processing, sync, speed_mm_s,
                              acceleration_mm_s2);
  };
}

auto jumpPlanner(const Target& destination, std::optional<int> arch, std::optional<double> lim_z,
                 const std::optional<std::string>& search_expression,
                 const std::optional<std::string>& parallel_processing,
                 std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                 std::optional<int> deceleration_percent) {
  protocol::validateTarget(destination, "destination");
  return [=](const std::optional<protocol::Posture>& posture) {
    return protocol::planJump(protocol::targetText(destination, posture), arch, lim_z,
                              search_expression, parallel_processing, speed_percent,
                              acceleration_percent, deceleration_percent);
  };
}

auto jump3Planner(const Target& depart, const Target& approach, const Target& destination,
                  std::optional<int> arch, const std::optional<std::string>& search_expression,
                  const std::optional<std::string>& parallel_processing,
                  std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                  std::optional<int> deceleration_percent) {
  protocol::validateTarget(depart, "depart");
  protocol::validateTarget(approach, "approach");
  protocol::validateTarget(destination, "destination");
  return [=](const std::optional<protocol::Posture>& posture) {
    return protocol::planJump3(
        protocol::targetText(depart, posture), protocol::targetText(approach, posture),
        protocol::targetText(destination, posture), arch, search_expression, parallel_processing,
        speed_percent, acceleration_percent, deceleration_percent);
  };
}

}  // namespace

void Brevacon::go(const Target& destination, bool cp, bool ljm, std::optional<int> orientation_flag,
                  const std::optional<std::string>& search_expression,
                  const std::optional<std::string>& parallel_processing, bool sync,
                  std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                  std::optional<int> deceleration_percent) {
  impl_->targetMotion(
      {destination}, !ljm,
      goPlanner(destination, cp, ljm, orientation_flag, search_expression, parallel_processing,
                sync, speed_percent, acceleration_percent, deceleration_percent));
}

void Brevacon::move(const Target& destination, bool rot, bool ecp, bool cp,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing, bool sync,
                    std::optional<double> speed_mm_s, std::optional<double> acceleration_mm_s2) {
  impl_->targetMotion({destination}, true,
                      movePlanner(destination, rot, ecp, cp, search_expression, parallel_processing,
                                  sync, speed_mm_s, acceleration_mm_s2));
}

void Brevacon::jump(const Target& destination, std::optional<int> arch, std::optional<double> lim_z,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing,
                    std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                    std::optional<int> deceleration_percent) {
  impl_->targetMotion({destination}, true,
                      jumpPlanner(destination, arch, lim_z, search_expression, parallel_processing,
                                  speed_percent, acceleration_percent, deceleration_percent));
}

void Brevacon::jump3(const Target& depart, const Target& approach, const Target& destination,
                     std::optional<int> arch, const std::optional<std::string>& search_expression,
                     const std::optional<std::string>& parallel_processing,
                     std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                     std::optional<int> deceleration_percent) {
  impl_->targetMotion(
      {depart, approach, destination}, true,
      jump3Planner(depart, approach, destination, arch, search_expression, parallel_processing,
                   speed_percent, acceleration_percent, deceleration_percent));
}

Motion Brevacon::startGo(const Target& destination, bool cp, bool ljm,
                         std::optional<int> orientation_flag,
                         const std::optional<std::string>& search_expression,
                         const std::optional<std::string>& parallel_processing, bool sync,
                         std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                         std::optional<int> deceleration_percent) {
  return impl_->start(
      *this, {destination}, !ljm,
      goPlanner(destination, cp, ljm, orientation_flag, search_expression, parallel_processing,
                sync, speed_percent, acceleration_percent, deceleration_percent));
}

Motion Brevacon::startMove(const Target& destination, bool rot, bool ecp, bool cp,
                           const std::optional<std::string>& search_expression,
                           const std::optional<std::string>& parallel_processing, bool sync,
                           std::optional<double> speed_mm_s,
                           std::optional<double> acceleration_mm_s2) {
  return impl_->start(*this, {destination}, true,
                      movePlanner(destination, rot, ecp, cp, search_expression, parallel_processing,
                                  sync, speed_mm_s, acceleration_mm_s2));
}

Motion Brevacon::startJump(const Target& destination, std::optional<int> arch,
                           std::optional<double> lim_z,
                           const std::optional<std::string>& search_expression,
                           const std::optional<std::string>& parallel_processing,
                           std::optional<int> speed_percent,
                           std::optional<int> acceleration_percent,
                           std::optional<int> deceleration_percent) {
  return impl_->start(*this, {destination}, true,
                      jumpPlanner(destination, arch, lim_z, search_expression, parallel_processing,
                                  speed_percent, acceleration_percent, deceleration_percent));
}

Motion Brevacon::startJump3(const Target& depart, const Target& approach, const Target& destination,
                            std::optional<int> arch,
                            const std::optional<std::string>& search_expression,
                            const std::optional<std::string>& parallel_processing,
                            std::optional<int> speed_percent,
                            std::optional<int> acceleration_percent,
                            std::optional<int> deceleration_percent) {
  return impl_->start(
      *this, {depart, approach, destination}, true,
      jump3Planner(depart, approach, destination, arch, search_expression, parallel_processing,
                   speed_percent, acceleration_percent, deceleration_percent));
}

Pose Brevacon::here() {
  return protocol::parsePose(impl_->stateQuery("here()", protocol::kHereQuery));
}
Joints Brevacon::hereJoints() {
  return protocol::parseJoints(impl_->stateQuery("hereJoints()", protocol::kHereJointsQuery));
}

void Brevacon::setPoint(int number, const Pose& pose) {
  impl_->execute(protocol::setPointStatement(number, pose));
}
Pose Brevacon::getPoint(int number) {
  return impl_->query(protocol::pointQuery(number), protocol::parsePose);
}
void Brevacon::teachPoint(int number) { impl_->execute(protocol::teachPointStatement(number)); }
void Brevacon::savePoints(const std::string& file) {
  impl_->execute(protocol::savePointsStatement(file));
}
void Brevacon::loadPoints(const std::string& file) {
  impl_->execute(protocol::loadPointsStatement(file));
}

namespace {

// The reads of cell I/O: one query and its parse, on the generic path. (Impl is deduced: the
// class is private to Brevacon.)
template <typename Impl>
bool readBit(Impl& impl, protocol::IoRead read, int bit) {
  return impl.query(protocol::ioQuery(read, bit), protocol::parseBitValue);
}
template <typename Impl>
int readValue(Impl& impl, protocol::IoRead read, int port, int max) {
  return impl.query(protocol::ioQuery(read, port), [max](const std::string& result) {
    return protocol::parseIoValue(result, max);
  });
}

}  // namespace

void Brevacon::setOutput(int bit, bool on) {
  impl_->execute(protocol::outputBitStatement(bit, on));
}
bool Brevacon::getOutput(int bit) { return readBit(*impl_, protocol::IoRead::kOutputBit, bit); }
bool Brevacon::getInput(int bit) { return readBit(*impl_, protocol::IoRead::kInputBit, bit); }
void Brevacon::setOutputByte(int port, int value) {
  impl_->execute(protocol::outputByteStatement(port, value));
}
int Brevacon::getOutputByte(int port) {
  return readValue(*impl_, protocol::IoRead::kOutputByte, port, protocol::kMaxByteValue);
}
int Brevacon::getInputByte(int port) {
  return readValue(*impl_, protocol::IoRead::kInputByte, port, protocol::kMaxByteValue);
}
void Brevacon::setOutputWord(int port, int value) {
  impl_->execute(protocol::outputWordStatement(port, value));
}
int Brevacon::getOutputWord(int port) {
  return readValue(*impl_, protocol::IoRead::kOutputWord, port, protocol::kMaxWordValue);
}
int Brevacon::getInputWord(int port) {
  return readValue(*impl_, protocol::IoRead::kInputWord, port, protocol::kMaxWordValue);
}
void Brevacon::setMemoryBit(int bit, bool on) {
  impl_->execute(protocol::memoryBitStatement(bit, on));
}
bool Brevacon::getMemoryBit(int bit) { return readBit(*impl_, protocol::IoRead::kMemoryBit, bit); }
bool Brevacon::waitInput(int bit, bool on, std::chrono::duration<double> timeout) {
  return impl_->waitFor(protocol::IoWait::kInputBit, bit, on, timeout.count());
}
bool Brevacon::waitMemoryBit(int bit, bool on, std::chrono::duration<double> timeout) {
  return impl_->waitFor(protocol::IoWait::kMemoryBit, bit, on, timeout.count());
}

void Brevacon::addSafetyCuboid(const std::vector<double>& min_corner_mm,
                               const std::vector<double>& max_corner_mm) {
  impl_->addSafetyCuboid(min_corner_mm, max_corner_mm);
}

}  // namespace epson
