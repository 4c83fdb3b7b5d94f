#pragma once

// Pure logic of the Remote Ethernet command protocol: every command line and SPEL+ statement the
// client sends, every check of the arguments that go into them, and every parse of a reply. No
// I/O, no locks: the Impl hands texts between these functions and the socket, and tests,
// benchmarks and fuzzers call them directly.
//
// Statements are given bare ("Motor On"); executeCommand() wraps one as the $Execute line.
// Failures throw the caller-facing exceptions: std::invalid_argument for a bad argument,
// std::out_of_range for a Tool number outside its range, std::runtime_error for a reply that
// does not say what it must. Texts quoted from a reply are escaped (escapeText).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <epson/brevacon.h>
#include <epson/controller_status.h>
#include <epson/targets.h>

namespace epson::protocol {

// --- Command lines and replies ------------------------------------------------------------------

// "#" + the command from its second character up to the first comma: "$Execute,..." gives
// "#Execute", "$Logout" gives "#Logout".
std::string expectedPrefix(const std::string& command);
// The command as it may appear in a message: a login never shows its password.
std::string shownCommand(const std::string& command);
// The same, cut to its first `limit` bytes (and its length) when longer: for messages about a
// command that may be megabytes long.
std::string shownCommandBrief(const std::string& command, std::size_t limit = 200);

// Text from the wire (or from a caller) as it may appear in a message or a returned string: bytes
// that are not valid UTF-8, NUL and the other control characters except the line feed become \xNN
// escapes, so a message is always a valid string, is never cut short and never drives a terminal.
// With `one_line`, line feeds are escaped too, for log lines.
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
// The number between the first and the second comma of an error reply ("!Execute,31,..." gives
// 31), or none when that text is not a number.
std::optional<int> errorCode(const std::string& reply);
// Text between the first and the last double quotation mark of an $Execute reply.
std::string extractExecuteResult(const std::string& reply);

// Wraps a SPEL+ statement: $Execute,"<statement>".
std::string executeCommand(const std::string& statement);

// "$Login," + password. Throws std::invalid_argument for a password holding a line ending,
// which would end the login line early and send the rest as a second command.
std::string loginCommand(const std::string& password);
// Throws std::invalid_argument, naming the field, for options out of the range ConnectOptions
// states; checked before connect() opens anything.
void checkConnectOptions(const ConnectOptions& options);
// The controller's error code for a wrong password.
inline constexpr int kWrongPasswordCode = 13;
inline constexpr const char* kLogoutCommand = "$Logout";
inline constexpr const char* kPauseCommand = "$Pause";
inline constexpr const char* kContinueCommand = "$Continue";
inline constexpr const char* kAbortCommand = "$Abort";
// The heartbeat of a running motion; the controller answers it at any time.
inline constexpr const char* kGetStatusCommand = "$GetStatus";

// --- Values -------------------------------------------------------------------------------------

// Integer value of a controller item: true/false words, or an integer with automatic base,
// white space ignored anywhere. Throws std::runtime_error.
std::int64_t parseControllerStatusValue(const std::string& text);
// Commas become blanks, then doubles are extracted in order until one fails.
std::vector<double> extractDoubles(const std::string& text);
// |value - expected| <= tolerance, where a value printed exactly `tolerance` away in decimal
// counts as within it although its binary difference may exceed the tolerance by a few ulps.
bool withinTolerance(double value, double expected, double tolerance);

// Number texts, as printf writes them in the C locale, whatever the process locale.
std::string formatG15(double value);                          // "%.15g"
std::string formatG17(double value);                          // "%.17g"
std::string formatFixed17(double value);                      // "%.17f"
std::string secondsText(std::chrono::milliseconds duration);  // 2000 ms gives "2", 250 ms "0.25"
std::string joinG15(const std::vector<double>& values);
std::string joinG17(const std::vector<double>& values);

// --- Controller status, motors and power --------------------------------------------------------

inline constexpr const char* kStatusQuery =
    "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)";
inline constexpr const char* kEmergencyStopQuery = "Print EStopOn";
inline constexpr const char* kResetStatement = "Reset";
inline constexpr const char* kMotorOnStatement = "Motor On";
inline constexpr const char* kMotorOffStatement = "Motor Off";
inline constexpr const char* kPowerQuery = "Print Power";
inline constexpr const char* kAccelMaxQuery = "Print AccelMax(1),AccelMax(2)";

ControllerStatus parseControllerStatus(const std::string& result);
// A whole $GetStatus reply: "#GetStatus," then eleven (or ten) 0/1 flags, a comma and the
// four-digit code. Throws std::runtime_error quoting anything else, escaped.
RemoteStatus parseRemoteStatus(const std::string& reply);
bool parseEmergencyStop(const std::string& result);
EpsonPowerMode powerModeFromValue(std::int64_t value);
// "Power Low" or "Power High"; std::invalid_argument for a value outside the enumeration.
std::string powerStatement(EpsonPowerMode mode);
// Throws unless the controller reports the mode it was asked for.
void verifyPowerMode(EpsonPowerMode requested, EpsonPowerMode reported);
PtpMotionLimits parseAccelMax(const std::string& result);

// --- Tools and TCP offset -----------------------------------------------------------------------

// The custom Tool slot that carries a TCP override, and the largest Tool number.
inline constexpr int kReservedToolSlot = 15;
inline constexpr int kMaxToolNumber = 15;
inline constexpr const char* kToolQuery = "Print Tool";

// Range check only: 0 (the flange) is accepted where `allow_zero`.
void validateToolNumber(int tool_num, bool allow_zero);
// Statements and queries; each checks its Tool number and its text first.
std::string tlSetStatement(int tool_num, const std::string& tool_def_point);
std::string tlClearStatement(int tool_num);
std::string toolStatement(int tool_num);
std::string toolDefinedQuery(int tool_num);
std::string toolDefinitionQuery(int tool_num);
// The selected Tool from its printed value; throws for a number no slot has.
int parseToolNumber(std::int64_t value);
// Throws "Tool <n> is not defined" unless `defined`.
void requireToolDefined(int tool_num, bool defined);
std::vector<double> parseToolDefinition(const std::string& result);
std::string formatToolPoint(const std::vector<double>& values);  // XY(...) with 15 digits
std::vector<double> tcpToNative(const std::vector<double>& tcp);
std::vector<double> nativeToTcp(const std::vector<double>& native);
void validateTcpOffset(const std::vector<double>& pose);
// Each throws the TCP verification error: a read-back further than 0.0001 from what was sent, or
// a selection other than the reserved slot.
void verifyTcpDefinition(const std::vector<double>& read_back, const std::vector<double>& sent);
void verifyTcpSelection(int selected_tool);
// Rejects text that would end the quoted statement or start another command line.
void requireSingleLineUnquoted(const std::string& name, const std::string& value);

// --- Robot state and inverse kinematics ---------------------------------------------------------

inline constexpr const char* kStateQuery =
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),"
    "CV(Here),CW(Here)";
std::vector<double> parseState(const std::string& result);
// Validates the arguments and returns the point expression (XY(...) or LJM(XY(...),ref)).
std::string buildIkPoint(const std::vector<double>& cartesian_pose, bool least_joint_motion,
                         const std::optional<std::vector<double>>& reference_joint_positions);
std::string ikQuery(const std::string& point, int joint);
// The message of a failed joint query: names the joint and the query, keeps the cause at the end.
std::string ikFailureMessage(int joint, const std::string& query, const std::string& cause);
double parseIkJoint(const std::string& result, int joint);

// --- Motion -------------------------------------------------------------------------------------

// How a controller that refuses $Pause while an $Execute runs (code 21) can still pause a long
// statement: by $Abort, writing it again on continue.
enum class PauseByAbort {
  kRewrite,     // the same settings and statement go to the same place again
  kRefuse,      // writing it again would not: `pause_refusal` says why, pause() raises it
  kNotAMotion,  // a Wait: the controller's refusal stands, as it does for any statement
};

struct MotionPlan {
  std::vector<std::string> settings;  // complete $Execute command lines, sent first
  std::string motion;                 // complete $Execute command line of the motion
  PauseByAbort pause = PauseByAbort::kRewrite;
  std::string pause_refusal;  // why not, for kRefuse
};
// The current-position functions of SPEL+: a statement that names one goes somewhere else when
// it is written again from another position. Returns the first named in `text`, or empty.
std::string currentPositionFunction(const std::string& text);
// Sets `plan`'s pause policy for a motion to `destination` with `parallel_processing`.
void choosePauseByAbort(MotionPlan& plan, const std::string& destination,
                        const std::optional<std::string>& parallel_processing);
// The Speed and Accel lines of a point-to-point motion (Go, Jump, Jump3), each checked first.
std::vector<std::string> ptpSettings(std::optional<int> speed_percent,
                                     std::optional<int> acceleration_percent,
                                     std::optional<int> deceleration_percent);
// Appends the search clause, the parallel processing and SYNC; checks that neither is empty.
void appendCommonTail(std::string& statement, const std::optional<std::string>& search_expression,
                      const std::optional<std::string>& parallel_processing, bool sync);
void requireSafeMotionTexts(const std::string& destination,
                            const std::optional<std::string>& search_expression,
                            const std::optional<std::string>& parallel_processing);
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

// --- Targets, Jump and Jump3, the point table (targets.cpp) -------------------------------------

// The arm's posture as SPEL+ reports it: Hand 1 (Righty) or 2 (Lefty), Elbow 1 (Above) or 2
// (Below), Wrist 1 (NoFlip) or 2 (Flip), J4Flag 0 or 1, J6Flag 0..127.
struct Posture {
  int hand = 1;
  int elbow = 1;
  int wrist = 1;
  int j4_flag = 0;
  int j6_flag = 0;
};
inline constexpr const char* kPostureQuery =
    "Print Hand(Here),Elbow(Here),Wrist(Here),J4Flag(Here),J6Flag(Here)";
// Throws std::runtime_error quoting a result that is not five such values.
Posture parsePosture(const std::string& result);
// The point attributes that select `posture`: "/R /A /NF /J4F0 /J6F0".
std::string postureFlags(const Posture& posture);

// Throws std::invalid_argument, naming `name`, for a Pose or Joints with a value that is not
// finite. (A point's text is checked by the plan of the statement that writes it.)
void validateTarget(const Target& target, const std::string& name);
bool isPose(const Target& target);
// The point as a statement writes it: a name as it is, XY(...) followed by the posture's flags
// when one is given, AglToPls(...). Numbers with 17 significant digits, whatever the locale.
std::string targetText(const Target& target, const std::optional<Posture>& posture);

// "Jump <destination> [C<arch>] [LimZ <z>] [search] [!...!]": arch 0..7, lim_z finite.
MotionPlan planJump(const std::string& destination, std::optional<int> arch,
                    std::optional<double> lim_z,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing,
                    std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                    std::optional<int> deceleration_percent);
// "Jump3 <depart>, <approach>, <destination> [C<arch>] [search] [!...!]".
MotionPlan planJump3(const std::string& depart, const std::string& approach,
                     const std::string& destination, std::optional<int> arch,
                     const std::optional<std::string>& search_expression,
                     const std::optional<std::string>& parallel_processing,
                     std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                     std::optional<int> deceleration_percent);

inline constexpr int kMaxPointNumber = 999;
// Throws std::out_of_range unless 0 <= number <= kMaxPointNumber.
void validatePointNumber(int number);
std::string setPointStatement(int number, const Pose& pose);  // P<n> = XY(...)
std::string teachPointStatement(int number);                  // P<n> = Here
std::string pointQuery(int number);                           // Print CX(P<n>),...,CW(P<n>)
inline constexpr const char* kHereQuery =
    "Print CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)";
inline constexpr const char* kHereJointsQuery = "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6)";
// Six finite numbers; throws std::runtime_error quoting anything else.
Pose parsePose(const std::string& result);
Joints parseJoints(const std::string& result);
// SavePoints "<file>" / LoadPoints "<file>": the name must not be empty, hold a quote, a line
// ending or another control character (std::invalid_argument).
std::string savePointsStatement(const std::string& file);
std::string loadPointsStatement(const std::string& file);

// --- Workspace limit ----------------------------------------------------------------------------

inline constexpr const char* kXYLimStrictStatement = "XYLimMode 1";
inline constexpr const char* kXYLimModeQuery = "Print XYLimMode";
inline constexpr const char* kXYLimBoundsQuery =
    "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))";
void validateCuboid(const std::vector<double>& min_corner, const std::vector<double>& max_corner);
// minX, maxX, minY, maxY, minZ, maxZ: the order XYLim takes and prints them in.
std::vector<double> cuboidBounds(const std::vector<double>& min_corner,
                                 const std::vector<double>& max_corner);
std::string buildXYLimStatement(const std::vector<double>& min_corner,
                                const std::vector<double>& max_corner);
void verifyXYLimMode(const std::string& result);
void verifyXYLimBounds(const std::string& result, const std::vector<double>& expected);

// --- Cell I/O (cell_io.cpp) ---------------------------------------------------------------------

// Bit and port numbers are the controller's to accept; here they need only be 0 or more. Each
// builder throws std::invalid_argument, naming the argument, before a text exists.
inline constexpr int kMaxByteValue = 255;
inline constexpr int kMaxWordValue = 65535;

enum class IoRead {
  kOutputBit,   // Print Oport(bit)
  kInputBit,    // Print Sw(bit)
  kMemoryBit,   // Print MemSw(bit)
  kOutputByte,  // Print Out(port)
  kInputByte,   // Print In(port)
  kOutputWord,  // Print OutW(port)
  kInputWord,   // Print InW(port)
};
std::string ioQuery(IoRead read, int number);
std::string outputBitStatement(int bit, bool on);      // "On 8" / "Off 8"
std::string memoryBitStatement(int bit, bool on);      // "MemOn 3" / "MemOff 3"
std::string outputByteStatement(int port, int value);  // "Out 1,15"
std::string outputWordStatement(int port, int value);  // "OutW 1,255"

enum class IoWait { kInputBit, kMemoryBit };
// The shortest wait timeout: timeouts are written in whole milliseconds.
inline constexpr double kMinWaitSeconds = 0.001;
// "Wait Sw(8) = On, 2.5": the timeout in seconds, finite, from kMinWaitSeconds to `limit`,
// rounded to the millisecond and written in plain decimal ("0.1", "0.001", "300").
std::string waitStatement(IoWait wait, int bit, bool on, double timeout_s,
                          std::chrono::milliseconds limit);
// A wait timeout as the whole milliseconds the statement carries.
std::chrono::milliseconds waitMilliseconds(double timeout_s);
// How long a wait's own reply may take: its timeout as written, and `reply`.
std::chrono::milliseconds waitReplyTimeout(double timeout_s, std::chrono::milliseconds reply);
// After a Wait: True when it timed out.
inline constexpr const char* kWaitTimedOutQuery = "Print TW";

// A bit's printed value: on for 1, -1, True and On, off for 0, False and Off (any case, white
// space around it ignored). Throws std::runtime_error quoting anything else.
bool parseBitValue(const std::string& result);
// A byte's or word's printed value: a decimal integer from 0 to `max`. Throws as parseBitValue.
int parseIoValue(const std::string& result, int max);

}  // namespace epson::protocol
