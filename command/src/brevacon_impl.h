#pragma once

// The private state and workers of Brevacon. Their definitions are split by concern:
//   session.cpp       connect, login, logout, disconnect
//   channel*.cpp      the engine every command goes through (its own class, channel.h): the
//                     connection (channel.cpp), the queue (channel_queue.cpp), and a running
//                     motion with what reaches it beside (channel_motion.cpp)
//   status_power.cpp  controller status, Emergency Stop, reset, motors, power mode, AccelMax
//   tools.cpp         Tool slots and the TCP override
//   state_ik.cpp      robot state and inverse kinematics
//   motion.cpp        pause, continue and abort, which reach a running motion; the I/O waits
//   cell_io.cpp       (protocol only) the I/O statements; brevacon.cpp sends them generically
//   workspace.cpp     the XYLim workspace limit
// Every SPEL+ text, argument check and reply parse is in protocol.h; these files only lock,
// exchange through the channel, and hand texts to protocol.
//
// Naming: a trailing underscore marks a private worker of Impl, nothing more. Each worker's
// comment says whether it expects the session lock to be held or takes it itself. The methods
// without an underscore are the operations Brevacon forwards to; each takes the session lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <epson/brevacon.h>

#include "channel.h"
#include "interrupt.h"
#include "protocol.h"
#include "session_mutex.h"

namespace epson {

// Concurrency design.
//
// sessionMutex_ (timed) serialises whole operations; go()/move() hold it for the whole motion.
// With a keepalive, one thread of the object's own (keepalive_) takes it for a $GetStatus
// exchange when the session has been quiet; connect() and disconnect() start and stop it
// without holding the lock, since it waits for the lock itself.
// Its holder is the channel's reader and alone changes the session members. pause(),
// continueMotion() and abortMotion() reach a running motion without it, through the channel,
// which hands them their replies (channel.h tells how). The flags read without the lock are
// atomics. Waits for the session lock are sliced when an interrupt check is installed.
class Brevacon::Impl {
 public:
  using Clock = std::chrono::steady_clock;
  using SessionLock = std::unique_lock<SessionMutex>;

  Impl()
      : channel_({kControlReplyTimeout, kHeartbeatInterval, kHeartbeatReplyTimeout},
                 [this] { sessionLost_(); }) {}
  ~Impl() {
    abortHandle_();
    stopKeepalive_();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Runs a worker that expects the session lock, holding the lock for the call.
  template <typename Worker, typename... Args>
  auto locked(Worker worker, Args&&... args) {
    const SessionLock session = lockSession_();
    return (this->*worker)(std::forward<Args>(args)...);
  }

  // The generic path of an operation that is one statement, or one query and a parse of its
  // result: a new operation of that kind needs no worker of its own, only its texts in protocol.
  void execute(const std::string& statement) {
    const SessionLock session = lockSession_();
    command_(protocol::executeCommand(statement), kReplyTimeout);
  }
  template <typename Parse>
  auto query(const std::string& statement, Parse parse) {
    const SessionLock session = lockSession_();
    return parse(executeAndGetResult_(statement));
  }

  // --- Operations: each takes the session lock -------------------------------------------------
  void connect(const std::string& host, std::uint16_t port, const std::string& password,
               const ConnectOptions& options);
  void disconnect();
  void keepCredentials(bool keep);
  std::optional<std::string> secureAfterLostSession(std::chrono::milliseconds budget);
  bool isConnected() const { return channel_.isOpen(); }
  bool isLoggedIn() const { return loggedIn_.load(); }
  void motorOn();
  void motorOff();
  std::string motorOnError();
  void setPowerMode(EpsonPowerMode mode);
  std::vector<double> getTcpOffset();
  void setTcpOffset(const std::vector<double>& pose);
  // Waits at most kStateLockWait for the lock, and not at all while a motion runs.
  std::vector<double> getState();
  std::vector<double> inverseKinematics(const std::vector<double>& pose, bool ljm,
                                        const std::optional<std::vector<double>>& reference);
  // Validates before it takes the lock, so a bad box never waits for a running motion.
  void addSafetyCuboid(const std::vector<double>& min_corner,
                       const std::vector<double>& max_corner);
  // Without the session lock.
  bool abortMotion();
  // A Wait on an input or memory bit, run as a motion is (long_): true when it held.
  bool waitFor(protocol::IoWait wait, int bit, bool on, double timeout_s);

  // --- Motions to targets, and their handles (motion_handle.cpp) -------------------------------
  // Plans a motion for the posture its Pose targets keep (none: without one).
  using Planner = std::function<protocol::MotionPlan(const std::optional<protocol::Posture>&)>;
  // Checks every argument (the plan with no posture) before anything is sent or waited for;
  // then, under the session lock, reads the posture once when `keep_posture` and a Pose is
  // among `targets`, and runs the motion. `on_written` runs once its statement is written.
  void targetMotion(const std::vector<Target>& targets, bool keep_posture, const Planner& plan,
                    const std::function<void()>& on_written = {});
  // The same on a thread the returned handle owns; returns once the statement is written.
  Motion start(Brevacon& robot, std::vector<Target> targets, bool keep_posture, Planner plan);
  // Like getState(): refuses during a motion, waits at most kStateLockWait for the lock.
  // `what` names the operation in its messages.
  std::string stateQuery(const std::string& what, const std::string& query);

 private:
  // Brevacon's forwarding names the workers it runs: locked(&Impl::getTool_), motion_, ...
  friend class Brevacon;

  // --- Workers that take the session lock themselves --------------------------------------------
  // Holds the lock for the whole motion; the channel counts the motion as running meanwhile.
  template <typename MakePlan>
  void motion_(MakePlan make_plan);
  // The path of every long $Execute, a motion or a Wait, with the session lock held: the channel
  // counts it as running, so pause, continue, abort, the heartbeat and the interrupt check reach
  // it. `timeout` bounds its own reply.
  template <typename MakePlan>
  void long_(MakePlan make_plan, std::chrono::milliseconds timeout,
             const std::function<void()>& on_written = {});
  // Beside a running motion it goes through the channel without the session lock (`beside`,
  // none when no motion runs); otherwise it takes the lock for an ordinary exchange. Returns the
  // success reply.
  std::string sendMotionControlCommand_(const std::string& command,
                                        const std::function<std::optional<std::string>()>& beside);
  std::string sendMotionControlCommand_(const std::string& command) {
    return sendMotionControlCommand_(command,
                                     [this, &command] { return channel_.besideMotion(command); });
  }
  // The session lock; a wait for it stops when the interrupt check asks, and is bounded by the
  // thread's SessionWaitLimit. Throws at once on the thread that already holds it.
  SessionLock lockSession_();
  void refuseReentry_() const;

  // --- Workers that expect the session lock held (run through locked() or by an operation) -----
  bool isEmergencyStopped_();
  EpsonPowerMode getPowerMode_();
  void tlSet_(int tool_num, const std::string& point);
  void tlClear_(int tool_num);
  void setTool_(int tool_num);
  int getTool_();
  bool isToolDefined_(int tool_num);
  std::vector<double> getToolDefinition_(int tool_num);
  void restoreTcpOffset_();

  // The one path of every command: write it, return its success reply (channel.h).
  std::string command_(const std::string& command, std::chrono::milliseconds timeout);
  std::string executeAndGetResult_(const std::string& statement);
  static std::int64_t parseControllerStatusValue_(const std::string& text) {
    return protocol::parseControllerStatusValue(text);
  }

  // --- Session (session.cpp); expect the session lock held -------------------------------------
  // connect() without the keep-alive: takes the session lock itself.
  void connectLocked_(const std::string& host, std::uint16_t port, const std::string& password,
                      const ConnectOptions& options);
  void login_(const std::string& password);
  void logout_();
  void discardSavedTcpState_();
  void resetSession_();
  // --- Keep-alive (keepalive.cpp); take the session lock themselves ----------------------------
  // Starts the thread that writes $GetStatus while idle; stops (and joins) it. Neither is called
  // with the session lock held: the thread takes it for each exchange.
  void startKeepalive_(std::chrono::milliseconds keepalive);
  void stopKeepalive_();
  void keepaliveLoop_(std::chrono::milliseconds keepalive);
  // Aborts the motion of a handle that still runs and waits for its end (motion_handle.cpp).
  void abortHandle_() noexcept;
  // Run by the channel after a teardown: what the controller held for this session is gone, and
  // motors this session had switched on may still be on.
  void sessionLost_();
  // Resolves the host; throws ConnectionFailedError.
  static boost::asio::ip::tcp::resolver::results_type resolve_(const std::string& host,
                                                               std::uint16_t port,
                                                               const std::string& where);

  Channel channel_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::string lastMotorOnError_;
  bool motorsOn_ = false;
  bool tcpSaved_ = false;
  int savedTool_ = 0;
  std::optional<std::vector<double>> savedTool15_;
  std::atomic<bool> loggedIn_{false};
  // For secureAfterLostSession(): whether the session was lost with motors on, and what connect()
  // kept while keepCredentials is on.
  bool lostWithMotorsOn_ = false;
  bool keepCredentials_ = false;
  struct Credentials {
    std::string host;
    std::uint16_t port = 0;
    std::string password;
  };
  std::optional<Credentials> credentials_;
  SessionMutex sessionMutex_;
  // The keep-alive thread and its stop request (keepaliveMutex_ guards the flag and the wait).
  std::thread keepalive_;
  std::mutex keepaliveMutex_;
  std::condition_variable keepaliveCv_;
  bool keepaliveStop_ = false;
  // The handle whose motion runs or ran last (handleMutex_): one motion at a time, and a
  // Brevacon that goes away aborts it first.
  std::mutex handleMutex_;
  std::shared_ptr<Motion::State> handle_;
};

template <typename MakePlan>
void Brevacon::Impl::motion_(MakePlan make_plan) {
  const SessionLock session = lockSession_();
  long_(make_plan, kMotionTimeout);
}

template <typename MakePlan>
void Brevacon::Impl::long_(MakePlan make_plan, std::chrono::milliseconds timeout,
                           const std::function<void()>& on_written) {
  // A bad argument throws here, before anything counts as running.
  const protocol::MotionPlan plan = make_plan();
  channel_.beginMotion(plan);
  // Ends the motion on every exit, after the replies of the commands written beside it have
  // been read or have become due.
  struct EndOnExit {
    Channel& channel;
    ~EndOnExit() { channel.endMotion(); }
  } end_on_exit{channel_};
  for (const std::string& setting : plan.settings) command_(setting, kReplyTimeout);
  Interrupter interrupter;
  channel_.runMotion(plan.motion, timeout, interrupter, on_written);
}

}  // namespace epson
