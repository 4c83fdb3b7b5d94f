// Controller status, Emergency Stop, reset, motors, power mode and the AccelMax limits.

#include <stdexcept>

#include "brevacon_impl.h"

namespace epson {

ControllerStatus Brevacon::Impl::getControllerStatus() {
  SessionGuard session(sessionMutex_);
  return protocol::parseControllerStatus(executeAndGetResult_(protocol::kStatusQuery));
}

bool Brevacon::Impl::isEmergencyStopped_() {
  return protocol::parseEmergencyStop(executeAndGetResult_(protocol::kEmergencyStopQuery));
}

void Brevacon::Impl::resetController() {
  SessionGuard session(sessionMutex_);
  command_(protocol::executeCommand(protocol::kResetStatement), kReplyTimeout);
}

void Brevacon::Impl::motorOn() {
  SessionGuard session(sessionMutex_);
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
  SessionGuard session(sessionMutex_);
  command_(protocol::executeCommand(protocol::kMotorOffStatement), kReplyTimeout);
  motorsOn_ = false;
}

std::string Brevacon::Impl::motorOnError() {
  SessionGuard session(sessionMutex_);
  return lastMotorOnError_;
}

EpsonPowerMode Brevacon::Impl::getPowerMode_() {
  return protocol::powerModeFromValue(
      parseControllerStatusValue_(executeAndGetResult_(protocol::kPowerQuery)));
}

void Brevacon::Impl::setPowerMode(EpsonPowerMode mode) {
  SessionGuard session(sessionMutex_);
  command_(protocol::executeCommand(protocol::powerStatement(mode)), kReplyTimeout);
  protocol::verifyPowerMode(mode, getPowerMode_());
}

PtpMotionLimits Brevacon::Impl::getPtpMotionLimits() {
  SessionGuard session(sessionMutex_);
  return protocol::parseAccelMax(executeAndGetResult_(protocol::kAccelMaxQuery));
}

}  // namespace epson
