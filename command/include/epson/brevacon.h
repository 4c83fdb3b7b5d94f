#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <epson/controller_status.h>
#include <epson/errors.h>
#include <epson/export.h>
#include <epson/interrupt.h>
#include <epson/motion.h>
#include <epson/targets.h>

namespace epson {

// Servo power mode of the controller (SPEL+ "Low" and "High").
enum class EpsonPowerMode : int {
  LOW = 0,
  HIGH = 1,
};

// Maximum SPEL+ point-to-point motion settings, in Epson percentage units.
struct PtpMotionLimits {
  std::int32_t speed_percent = 100;  // SPEL+ Speed is a fixed 1..100 scale
  std::int32_t acceleration_percent = 0;
  std::int32_t deceleration_percent = 0;
};

// How hard connect() tries: `attempts` attempts, `retry_pause` apart, each allowed
// `attempt_timeout` to open the TCP connection (its login reply has kReplyTimeout). The defaults
// are Brevacon's kConnectAttemptTimeout, kConnectAttempts and kRetryPause.
//
// `keepalive`, when not zero, keeps a session the controller's remote Timeout would end: the
// object writes $GetStatus while idle (from a thread it starts in connect() and stops in
// disconnect()) so that no gap between its lines is longer than `keepalive`, and a running
// motion's heartbeat goes out at least that often. It never holds an operation up by more than
// one exchange. Pair it with the controller's Timeout: a Timeout of 2 s with a keepalive of
// 0.5 s. Zero (the default) starts no thread.
//
// connect() throws std::invalid_argument, before it opens anything, unless attempts >= 1,
// 0 < attempt_timeout <= kMaxConnectWait, 0 <= retry_pause <= kMaxConnectWait, and keepalive is
// 0 or from kMinKeepalive to kMaxConnectWait.
struct ConnectOptions {
  // Defined after Brevacon, whose constants it copies.
  constexpr ConnectOptions() noexcept;

  std::chrono::milliseconds attempt_timeout;
  int attempts;
  std::chrono::milliseconds retry_pause;
  std::chrono::milliseconds keepalive;
};

// Bounds how long the calling thread waits for a Brevacon's session, for code that must never be
// held up by another thread's long operation (a service of a ROS executor that must stay free to
// stop the robot). While an object lives, an operation on its thread that needs a session's lock
// refuses at once while a motion of that session runs, and otherwise waits for the lock at most
// `limit`; both throw SessionBusyError with nothing sent. pause(), continueMotion() and
// abortMotion() beside a running motion need no lock and are not refused. Scopes nest: the
// innermost applies. Create and destroy it on one thread.
class EPSON_API SessionWaitLimit {
 public:
  explicit SessionWaitLimit(std::chrono::milliseconds limit);
  ~SessionWaitLimit();
  SessionWaitLimit(const SessionWaitLimit&) = delete;
  SessionWaitLimit& operator=(const SessionWaitLimit&) = delete;

  // The limit of the innermost scope on the calling thread, if any.
  static std::optional<std::chrono::milliseconds> current();

 private:
  std::optional<std::chrono::milliseconds> previous_;
};

// Client of one Epson controller's Remote Ethernet command port.
//
// One object owns one TCP connection. All operations are serialised by a session lock, so an
// object may be shared between threads; no thread is started. While go() or move() runs,
// pause(), continueMotion() and abortMotion() still reach the controller from another thread,
// getState() fails at once, and every other operation waits for the motion to end. Long waits
// stop when the interrupt check of <epson/interrupt.h> asks (InterruptedError).
//
// Errors are exceptions: std::invalid_argument for bad arguments, std::out_of_range for tool
// numbers outside their range, std::runtime_error for connection, protocol, controller and parse
// failures, std::system_error for lock failures. Among the runtime errors (<epson/errors.h>):
// ControllerError for an error reply (with its code), ConnectionFailedError when connect() cannot
// connect or log in, TimeoutError for a deadline that passed, ConnectionLostError when the
// session is gone (also when replies stop matching commands, or a running motion's heartbeat
// goes unanswered); a failed write is boost::system::system_error. Any of the last three, except
// a getState() or control-reply timeout, leaves the object disconnected.
//
// An operation that needs the session lock, called on a thread that already holds it (from a
// signal handler or an interrupt check that runs inside a wait of this object), throws
// std::runtime_error at once instead of waiting for itself; only pause(), continueMotion() and
// abortMotion() work there.
class EPSON_API Brevacon {
 public:
  static constexpr std::uint16_t kDefaultPort = 5000;

  // --- Deadlines -------------------------------------------------------------------------------
  // Every wait of the calling thread is bounded by one of these; the messages that state a
  // duration are built from them.
  //
  // One TCP connection attempt of connect(); it makes kConnectAttempts, kRetryPause apart.
  // These are ConnectOptions' defaults.
  static constexpr std::chrono::seconds kConnectAttemptTimeout{20};
  static constexpr int kConnectAttempts = 3;
  static constexpr std::chrono::seconds kRetryPause{2};
  // The longest attempt timeout or retry pause ConnectOptions may ask for: anything longer is
  // refused rather than left to overflow a deadline.
  static constexpr std::chrono::hours kMaxConnectWait{24};
  // The shortest keepalive ConnectOptions may ask for.
  static constexpr std::chrono::milliseconds kMinKeepalive{50};
  // One command: writing its line, then its whole reply, all of its lines together.
  static constexpr std::chrono::milliseconds kReplyTimeout{5000};
  // The Go or Move statement of go()/move(): writing it, then its reply, which comes when the
  // motion ends.
  static constexpr std::chrono::milliseconds kMotionTimeout{300000};
  // pause()/continueMotion()/abortMotion() beside a running motion: writing the line, then its
  // reply. Also how long an interrupted motion may take to end after its $Abort.
  static constexpr std::chrono::milliseconds kControlReplyTimeout{5000};
  // While a motion runs, its thread sends $GetStatus this often, and tears the session down when
  // one gets no reply within kHeartbeatReplyTimeout: a controller that went silent is noticed
  // within their sum, not at kMotionTimeout.
  static constexpr std::chrono::milliseconds kHeartbeatInterval{1000};
  static constexpr std::chrono::milliseconds kHeartbeatReplyTimeout{2000};
  // What a `with` block of the Python modules gives secureAfterLostSession() when it is left by
  // an exception after its session was lost with the motors on.
  static constexpr std::chrono::milliseconds kLostSessionBudget{2000};
  // How long getState() waits for another operation to release the connection.
  static constexpr std::chrono::milliseconds kStateLockWait{250};

  Brevacon();
  // Closes the socket without logging out; call disconnect() for a clean end.
  ~Brevacon();
  Brevacon(const Brevacon&) = delete;
  Brevacon& operator=(const Brevacon&) = delete;

  // --- Session -----------------------------------------------------------------------------
  // Resolves the host, connects (options.attempts attempts of at most options.attempt_timeout,
  // options.retry_pause apart; by default kConnectAttempts, kConnectAttemptTimeout and
  // kRetryPause) and logs in. An attempt also fails, and is retried, when its login reply does
  // not come within kReplyTimeout or the connection ends before it.
  // Never switches the motors on. Throws std::invalid_argument, before anything is sent or the
  // running session is touched, for a password holding a line ending or options out of range
  // (see ConnectOptions); ConnectionFailedError when resolution or every connection attempt
  // fails, and ControllerError when the controller refuses the login (code 13: the password).
  void connect(const std::string& host, std::uint16_t port = kDefaultPort,
               const std::string& password = "", const ConnectOptions& options = ConnectOptions());
  // Restores a saved Tool state, switches off motors this session switched on, logs out and
  // closes the socket. Throws std::runtime_error only if closing the socket fails.
  void disconnect();
  bool isConnected() const;
  bool isLoggedIn() const;

  // --- Leaving safely after a lost session -------------------------------------------------
  // While on, connect() keeps its host, port and password in memory (nowhere else) for
  // secureAfterLostSession(); turning it off forgets them. Off by default. A Python `with`
  // block turns it on for the block, and Tandrel for its life.
  void keepCredentials(bool keep);
  // When this session was torn down (the connection lost, a heartbeat unanswered, a second
  // interrupt) while motors it had switched on were on, connects once more with the kept
  // credentials, all within `budget`: writes $Abort, waits for a running statement to end,
  // switches the motors off and logs out. Returns a sentence saying what was done or why it
  // could not be; none when there was nothing to do or no credentials were kept. Throws only
  // InterruptedError, when the interrupt check asks (the new connection is then closed).
  std::optional<std::string> secureAfterLostSession(std::chrono::milliseconds budget);

  // --- Controller status, motors and power ---------------------------------------------------
  // Throw std::runtime_error on a malformed reply, and the errors above on a failed exchange.
  ControllerStatus getControllerStatus();
  bool isEmergencyStopped();
  void resetController();
  // Records the failure text (see motorOnError()) and rethrows it.
  void motorOn();
  void motorOff();
  // Text of the last failed motorOn(); empty after a success or when none was attempted.
  std::string motorOnError();
  // $Pause / $Continue. Work during a running go()/move() from another thread, also several at
  // once. Throw ControllerError on an error reply and TimeoutError after kControlReplyTimeout
  // without one (its reply is then discarded when it comes).
  void pause();
  void continueMotion();
  // $Abort beside a running go()/move() of this object, paused or not, from any thread. Returns
  // true once the controller accepted it; that motion then throws MotionAbortedError when its
  // own reply is an error, and returns normally when it finished first. An abort that comes
  // before the motion's statement was written sends nothing, keeps it from being written, and
  // returns true. Returns false, sending nothing, when no motion of this object runs. Throws
  // ControllerError when the controller refuses (the motion goes on) and TimeoutError after
  // kControlReplyTimeout.
  bool abortMotion();
  // $GetStatus: the controller's status word. Works beside a running motion, as pause() does,
  // and as an ordinary exchange otherwise. Throws std::runtime_error for a malformed reply, and
  // beside a motion TimeoutError after kControlReplyTimeout (the session is then closed).
  RemoteStatus getRemoteStatus();
  EpsonPowerMode getPowerMode();
  // Throws std::invalid_argument for a value outside the enumeration, std::runtime_error when
  // the controller does not report the requested mode afterwards.
  void setPowerMode(EpsonPowerMode mode);
  PtpMotionLimits getPtpMotionLimits();

  // --- Tools and TCP offset ------------------------------------------------------------------
  // Tool slots 1..15 (setTool also accepts 0, the flange): std::out_of_range otherwise.
  void tlSet(int tool_num, const std::string& tool_def_point);
  void tlClear(int tool_num);
  void setTool(int tool_num);
  int getTool();
  bool isToolDefined(int tool_num);
  // Native Tool pose [X, Y, Z, U, V, W] in mm and degrees.
  std::vector<double> getToolDefinition(int tool_num);
  // Active TCP as [x, y, z, rx, ry, rz] in metres and Euler-XYZ degrees.
  std::vector<double> getTcpOffset();
  // Sets the active TCP through Tool slot 15. The first call saves the selected Tool and the
  // former slot-15 definition; restoreTcpOffset() or disconnect() puts them back.
  // Throws std::invalid_argument unless the pose holds six finite values.
  void setTcpOffset(const std::vector<double>& pose);
  void restoreTcpOffset();

  // --- Robot state and inverse kinematics ----------------------------------------------------
  // Twelve values: J1..J6 (degrees), then X, Y, Z (mm), U, V, W (degrees). Fails at once while
  // a motion runs and after kStateLockWait while another operation holds the connection.
  std::vector<double> getState();
  // Solves IK on the controller for a native pose [X, Y, Z, U, V, W]; returns J1..J6 in degrees.
  std::vector<double> inverseKinematics(
      const std::vector<double>& cartesian_pose, bool least_joint_motion = true,
      const std::optional<std::vector<double>>& reference_joint_positions = std::nullopt);

  // --- Motion --------------------------------------------------------------------------------
  // Blocks until the controller reports the end of the motion (at most kMotionTimeout), sending
  // the heartbeat meanwhile. Throws MotionAbortedError after an abortMotion(), and
  // InterruptedError after the interrupt check asked (the motion is then aborted first).
  // Throws std::invalid_argument, sending nothing, when the arguments cannot form a valid
  // statement (a Pose or Joints with a value that is not finite among them).
  //
  // Every point is a Target: a point name or expression, a Pose or Joints (<epson/targets.h>).
  // A Pose keeps the arm's current posture: it is read once (Hand, Elbow, Wrist, J4Flag,
  // J6Flag of Here) before the statement is written, and written into the point; go() with
  // `ljm` leaves the choice to the least joint motion instead.
  void go(const Target& destination, bool cp = false, bool ljm = false,
          std::optional<int> orientation_flag = std::nullopt,
          const std::optional<std::string>& search_expression = std::nullopt,
          const std::optional<std::string>& parallel_processing = std::nullopt, bool sync = false,
          std::optional<int> speed_percent = std::nullopt,
          std::optional<int> acceleration_percent = std::nullopt,
          std::optional<int> deceleration_percent = std::nullopt);
  // A straight line; to Joints, to the pose of those angles.
  void move(const Target& destination, bool rot = false, bool ecp = false, bool cp = false,
            const std::optional<std::string>& search_expression = std::nullopt,
            const std::optional<std::string>& parallel_processing = std::nullopt, bool sync = false,
            std::optional<double> speed_mm_s = std::nullopt,
            std::optional<double> acceleration_mm_s2 = std::nullopt);
  // SPEL+ Jump: the arch motion of SCARA and Cartesian robots (up, across, down), with arch
  // C0..C7 and LimZ. A 6-axis controller refuses it (ControllerError); use jump3() there.
  void jump(const Target& destination, std::optional<int> arch = std::nullopt,
            std::optional<double> lim_z = std::nullopt,
            const std::optional<std::string>& search_expression = std::nullopt,
            const std::optional<std::string>& parallel_processing = std::nullopt,
            std::optional<int> speed_percent = std::nullopt,
            std::optional<int> acceleration_percent = std::nullopt,
            std::optional<int> deceleration_percent = std::nullopt);
  // SPEL+ Jump3: a straight depart to `depart`, a point-to-point span to `approach`, a straight
  // approach to `destination`.
  void jump3(const Target& depart, const Target& approach, const Target& destination,
             std::optional<int> arch = std::nullopt,
             const std::optional<std::string>& search_expression = std::nullopt,
             const std::optional<std::string>& parallel_processing = std::nullopt,
             std::optional<int> speed_percent = std::nullopt,
             std::optional<int> acceleration_percent = std::nullopt,
             std::optional<int> deceleration_percent = std::nullopt);

  // The same motions, started: each returns once the motion's statement is written (its
  // arguments and settings checked, their errors thrown here), and runs it on a thread the
  // returned handle owns. One motion at a time: starting one while a motion of this session
  // runs throws std::runtime_error at once, naming it.
  Motion startGo(const Target& destination, bool cp = false, bool ljm = false,
                 std::optional<int> orientation_flag = std::nullopt,
                 const std::optional<std::string>& search_expression = std::nullopt,
                 const std::optional<std::string>& parallel_processing = std::nullopt,
                 bool sync = false, std::optional<int> speed_percent = std::nullopt,
                 std::optional<int> acceleration_percent = std::nullopt,
                 std::optional<int> deceleration_percent = std::nullopt);
  Motion startMove(const Target& destination, bool rot = false, bool ecp = false, bool cp = false,
                   const std::optional<std::string>& search_expression = std::nullopt,
                   const std::optional<std::string>& parallel_processing = std::nullopt,
                   bool sync = false, std::optional<double> speed_mm_s = std::nullopt,
                   std::optional<double> acceleration_mm_s2 = std::nullopt);
  Motion startJump(const Target& destination, std::optional<int> arch = std::nullopt,
                   std::optional<double> lim_z = std::nullopt,
                   const std::optional<std::string>& search_expression = std::nullopt,
                   const std::optional<std::string>& parallel_processing = std::nullopt,
                   std::optional<int> speed_percent = std::nullopt,
                   std::optional<int> acceleration_percent = std::nullopt,
                   std::optional<int> deceleration_percent = std::nullopt);
  Motion startJump3(const Target& depart, const Target& approach, const Target& destination,
                    std::optional<int> arch = std::nullopt,
                    const std::optional<std::string>& search_expression = std::nullopt,
                    const std::optional<std::string>& parallel_processing = std::nullopt,
                    std::optional<int> speed_percent = std::nullopt,
                    std::optional<int> acceleration_percent = std::nullopt,
                    std::optional<int> deceleration_percent = std::nullopt);

  // The current pose and joint angles; like getState(), they fail at once while a motion runs
  // and after kStateLockWait while another operation holds the connection.
  Pose here();
  Joints hereJoints();

  // --- The point table: P0..P999 (std::out_of_range otherwise, nothing sent) -----------------
  void setPoint(int number, const Pose& pose);  // P<n> = XY(...)
  Pose getPoint(int number);
  void teachPoint(int number);  // P<n> = Here
  // SavePoints / LoadPoints "<file>": std::invalid_argument for an empty name or one holding a
  // quote, a line ending or another control character.
  void savePoints(const std::string& file);
  void loadPoints(const std::string& file);

  // --- Cell I/O: standard outputs and inputs, their ports, and memory bits ---------------------
  // Bits and ports are numbered from 0; which exist is the controller's decision, and it refuses
  // others (ControllerError). Byte port n holds bits 8n..8n+7, word port n bits 16n..16n+15.
  // Throws std::invalid_argument, sending nothing, for a negative number or a value outside
  // 0..255 (byte) or 0..65535 (word).
  void setOutput(int bit, bool on);
  bool getOutput(int bit);
  bool getInput(int bit);
  void setOutputByte(int port, int value);
  int getOutputByte(int port);
  int getInputByte(int port);
  void setOutputWord(int port, int value);
  int getOutputWord(int port);
  int getInputWord(int port);
  void setMemoryBit(int bit, bool on);
  bool getMemoryBit(int bit);
  // Waits on the controller until the input (memory) bit is `on`, or `timeout` passes: true when
  // the condition held, false when it timed out. The timeout must be from 1 ms to
  // kMotionTimeout, and is written in whole milliseconds. The wait is a long statement like a
  // motion: abortMotion() reaches it (MotionAbortedError), the interrupt check aborts it, the
  // heartbeat runs, and its reply may take the timeout plus kReplyTimeout. A controller refuses
  // pause() during it (code 21).
  bool waitInput(int bit, bool on, std::chrono::duration<double> timeout);
  bool waitMemoryBit(int bit, bool on, std::chrono::duration<double> timeout);

  // --- Cartesian workspace limit -------------------------------------------------------------
  // Programs XYLim with strict checking and verifies both against the controller's read-back.
  void addSafetyCuboid(const std::vector<double>& min_corner_mm,
                       const std::vector<double>& max_corner_mm);

 private:
  class EPSON_LOCAL Impl;
  std::unique_ptr<Impl> impl_;
};

constexpr ConnectOptions::ConnectOptions() noexcept
    : attempt_timeout(Brevacon::kConnectAttemptTimeout),
      attempts(Brevacon::kConnectAttempts),
      retry_pause(Brevacon::kRetryPause),
      keepalive(0) {}

}  // namespace epson
