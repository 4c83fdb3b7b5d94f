// Controller status, Emergency Stop, reset, motors, power mode and the AccelMax limits.

#include <stdexcept>

#include "brevacon_impl.h"

namespace epson {

bool Brevacon::Impl::isEmergencyStopped_() {
  return protocol::parseEmergencyStop(executeAndGetResult_(protocol::kEmergencyStopQuery));
}

void Brevacon::Impl::motorOn() {
  const SessionLock session = lockSession_();
  try {
    command_(protocol::executeCommand(protocol::kMotorOnStatement), kReplyTimeout);
  } catch (const std::exception& e) {
    lastMotorOnError_ = e.what();
    throw;
  }
  motorsOn_ = true;
  lastMotorOnError_.clear();
}

void Brevacon::Impl::motorOff() {
  const SessionLock session = lockSession_();
  command_(protocol::executeCommand(protocol::kMotorOffStatement), kReplyTimeout);
  motorsOn_ = false;
}

std::string Brevacon::Impl::motorOnError() {
  const SessionLock session = lockSession_();
  return lastMotorOnError_;
}

EpsonPowerMode Brevacon::Impl::getPowerMode_() {
  return protocol::powerModeFromValue(
      parseControllerStatusValue_(executeAndGetResult_(protocol::kPowerQuery)));
}

void Brevacon::Impl::setPowerMode(EpsonPowerMode mode) {
  const SessionLock session = lockSession_();
  command_(protocol::executeCommand(protocol::powerStatement(mode)), kReplyTimeout);
  protocol::verifyPowerMode(mode, getPowerMode_());
}

}  // namespace epson
