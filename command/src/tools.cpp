// Tool slots and the TCP override through the reserved slot.

#include "brevacon_impl.h"

namespace epson {

using protocol::kReservedToolSlot;

void Brevacon::Impl::tlSet_(int tool_num, const std::string& point) {
  command_(protocol::executeCommand(protocol::tlSetStatement(tool_num, point)), kReplyTimeout);
}

void Brevacon::Impl::tlClear_(int tool_num) {
  command_(protocol::executeCommand(protocol::tlClearStatement(tool_num)), kReplyTimeout);
}

void Brevacon::Impl::setTool_(int tool_num) {
  command_(protocol::executeCommand(protocol::toolStatement(tool_num)), kReplyTimeout);
}

int Brevacon::Impl::getTool_() {
  return protocol::parseToolNumber(
      parseControllerStatusValue_(executeAndGetResult_(protocol::kToolQuery)));
}

bool Brevacon::Impl::isToolDefined_(int tool_num) {
  return parseControllerStatusValue_(executeAndGetResult_(protocol::toolDefinedQuery(tool_num))) !=
         0;
}

std::vector<double> Brevacon::Impl::getToolDefinition_(int tool_num) {
  // The range check comes before the TLDef query, so a bad number sends nothing.
  const std::string query = protocol::toolDefinitionQuery(tool_num);
  protocol::requireToolDefined(tool_num, isToolDefined_(tool_num));
  return protocol::parseToolDefinition(executeAndGetResult_(query));
}

void Brevacon::Impl::restoreTcpOffset_() {
  if (!tcpSaved_) return;
  if (savedTool15_) {
    tlSet_(kReservedToolSlot, protocol::formatToolPoint(*savedTool15_));
  } else if (isToolDefined_(kReservedToolSlot)) {
    tlClear_(kReservedToolSlot);
  }
  setTool_(savedTool_);
  discardSavedTcpState_();
}

std::vector<double> Brevacon::Impl::getTcpOffset() {
  const SessionLock session = lockSession_();
  const int tool = getTool_();
  if (tool == 0) return std::vector<double>(6, 0.0);
  return protocol::nativeToTcp(getToolDefinition_(tool));
}

void Brevacon::Impl::setTcpOffset(const std::vector<double>& pose) {
  const SessionLock session = lockSession_();
  protocol::validateTcpOffset(pose);
  const std::vector<double> native = protocol::tcpToNative(pose);
  if (!tcpSaved_) {
    // Saved only once all of it has been read, so a failed read saves nothing.
    const int tool = getTool_();
    std::optional<std::vector<double>> slot15;
    if (isToolDefined_(kReservedToolSlot)) slot15 = getToolDefinition_(kReservedToolSlot);
    savedTool_ = tool;
    savedTool15_ = std::move(slot15);
    tcpSaved_ = true;
  }
  tlSet_(kReservedToolSlot, protocol::formatToolPoint(native));
  setTool_(kReservedToolSlot);
  protocol::verifyTcpDefinition(getToolDefinition_(kReservedToolSlot), native);
  protocol::verifyTcpSelection(getTool_());
}

}  // namespace epson
