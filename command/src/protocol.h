#pragma once

// Pure logic of the Remote Ethernet command protocol: reply framing rules, reply and value
// parsing, number formatting and statement building. No I/O, no locks: the Impl calls these
// with the session lock held, and tests and benchmarks call them directly.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <epson/brevacon.h>
#include <epson/controller_status.h>

namespace epson::protocol {

// "#" + the command from its second character up to the first comma: "$Execute,..." gives
// "#Execute", "$Logout" gives "#Logout".
std::string expectedPrefix(const std::string& command);
// The command as it may appear in a message: a login never shows its password.
std::string shownCommand(const std::string& command);
// The same, cut to its first `limit` bytes (and its length) when longer: for messages about a
// command that may be megabytes long.
std::string shownCommandBrief(const std::string& command, std::size_t limit = 200);

// Text from the wire (or from a caller) as it may appear in a message or a returned string: bytes
// that are not valid UTF-8, and NUL, become \xNN escapes, so a message is always a valid string
// and is never cut short. With `one_line`, control characters (line breaks included) are escaped
// too, for log lines.
std::string escapeText(std::string_view text, bool one_line = false);
// `text` with every occurrence of `secret` replaced by "<redacted>"; unchanged for an empty
// secret. A controller may echo the login line or quote it in an error reply.
std::string redact(std::string_view text, std::string_view secret);

enum class ReplyKind { kSuccess, kError, kInvalid, kEmpty };
ReplyKind classifyReply(const std::string& reply);
// Message of an error reply ("!..."), with the note for error 99 and the shown command. The reply
// is shown escaped, with `secret` redacted.
std::string errorReplyMessage(const std::string& reply, const std::string& command,
                              std::string_view secret = {});
// Text between the first and the last double quotation mark of an $Execute reply.
std::string extractExecuteResult(const std::string& reply);

// Integer value of a controller item: true/false words, or an integer with automatic base,
// white space ignored anywhere. Throws std::runtime_error.
std::int64_t parseControllerStatusValue(const std::string& text);

// --- Reply parsers (all throw std::runtime_error with the caller-facing text) ------------------
ControllerStatus parseControllerStatus(const std::string& result);
bool parseEmergencyStop(const std::string& result);
EpsonPowerMode powerModeFromValue(std::int64_t value);
PtpMotionLimits parseAccelMax(const std::string& result);
// Commas become blanks, then doubles are extracted in order until one fails.
std::vector<double> extractDoubles(const std::string& text);
std::vector<double> parseState(const std::string& result);
double parseIkJoint(const std::string& result, int joint);
std::vector<double> parseToolDefinition(const std::string& result);
// |value - expected| <= tolerance, where a value printed exactly `tolerance` away in decimal
// counts as within it although its binary difference may exceed the tolerance by a few ulps.
bool withinTolerance(double value, double expected, double tolerance);
void verifyXYLimMode(const std::string& result);
void verifyXYLimBounds(const std::string& result, const std::vector<double>& expected);

// --- Number formatting (C locale, whatever the process locale) --------------------------------
std::string formatG15(double value);      // printf "%.15g"
std::string formatG17(double value);      // printf "%.17g"
std::string formatFixed17(double value);  // printf "%.17f"
std::string joinG17(const std::vector<double>& values);

// --- Tools and TCP offset -----------------------------------------------------------------------
void validateToolNumber(int tool_num, bool allow_zero);
std::string formatToolPoint(const std::vector<double>& values);  // XY(...) with 15 digits
std::vector<double> tcpToNative(const std::vector<double>& tcp);
std::vector<double> nativeToTcp(const std::vector<double>& native);
std::string toolDefinitionQuery(int tool_num);
// Rejects text that would end the quoted statement or start another command line.
void requireSingleLineUnquoted(const std::string& name, const std::string& value);

// --- Inverse kinematics -------------------------------------------------------------------------
// Validates the arguments and returns the point expression (XY(...) or LJM(XY(...),ref)).
std::string buildIkPoint(const std::vector<double>& cartesian_pose, bool least_joint_motion,
                         const std::optional<std::vector<double>>& reference_joint_positions);

// --- Motion -------------------------------------------------------------------------------------
struct MotionPlan {
  std::vector<std::string> settings;  // complete $Execute command lines, sent first
  std::string motion;                 // complete $Execute command line of the motion
};
MotionPlan planGo(const std::string& destination, bool cp, bool ljm,
                  std::optional<int> orientation_flag,
                  const std::optional<std::string>& search_expression,
                  const std::optional<std::string>& parallel_processing, bool sync,
                  std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                  std::optional<int> deceleration_percent);
MotionPlan planMove(const std::string& destination, bool rot, bool ecp, bool cp,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing, bool sync,
                    std::optional<double> speed_mm_s, std::optional<double> acceleration_mm_s2);

// --- Workspace limit ----------------------------------------------------------------------------
void validateCuboid(const std::vector<double>& min_corner, const std::vector<double>& max_corner);
std::string buildXYLimStatement(const std::vector<double>& min_corner,
                                const std::vector<double>& max_corner);

// Wraps a SPEL+ statement: $Execute,"<statement>".
std::string executeCommand(const std::string& statement);

}  // namespace epson::protocol
