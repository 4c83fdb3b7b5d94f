// The Cartesian workspace limit: XYLim bounds with strict checking, verified by read-back.

#include "brevacon_impl.h"

namespace epson {

void Brevacon::Impl::addSafetyCuboid(const std::vector<double>& min_corner,
                                     const std::vector<double>& max_corner) {
  protocol::validateCuboid(min_corner, max_corner);
  const SessionLock session = lockSession_();
  const std::string statement = protocol::buildXYLimStatement(min_corner, max_corner);
  command_(protocol::executeCommand(protocol::kXYLimStrictStatement), kReplyTimeout);
  command_(protocol::executeCommand(statement), kReplyTimeout);
  protocol::verifyXYLimMode(executeAndGetResult_(protocol::kXYLimModeQuery));
  protocol::verifyXYLimBounds(executeAndGetResult_(protocol::kXYLimBoundsQuery),
                              protocol::cuboidBounds(min_corner, max_corner));
}

}  // namespace epson
