#pragma once

// The private state and workers of Brevacon. Their definitions are split by concern:
//   session.cpp       connect, login, logout, disconnect
//   exchange.cpp      write a command, frame and route replies, teardown
//   status_power.cpp  controller status, Emergency Stop, reset, motors, power mode, AccelMax
//   tools.cpp         Tool slots and the TCP override
//   state_ik.cpp      robot state and inverse kinematics
//   motion.cpp        Go/Move and the control commands that reach a running motion
//   workspace.cpp     the XYLim workspace limit
// Every SPEL+ text, argument check and reply parse is in protocol.h; these files only lock,
// exchange, and hand texts to it.
//
// Naming: a trailing underscore marks a private worker of Impl, nothing more. Each worker's
// comment says whether it expects the session lock to be held or takes it itself. The methods
// without an underscore are the operations Brevacon forwards to; each takes the session lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <epson/brevacon.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include "protocol.h"
#include "reply_stream.h"
#include "session_mutex.h"

namespace epson {

// Concurrency design.
//
// sessionMutex_ (timed) serialises whole operations; go()/move() hold it for the whole motion.
// Only its holder runs io_ (inside connect or a reply wait), reads the socket and changes the
// session members. writeMutex_ guards every write to the socket and the socket's close during a
// teardown, because pause()/continueMotion() write beside a running motion without the session
// lock. pendingMutex_ guards the control slot (pendingPrefix_, pendingReply_, pendingFailure_,
// pendingDeadline_, pendingCv_), the replies still due (duePrefixes_) and every change of
// motionPending_: a control command decides between its two paths and registers itself under
// it, and a motion clears the flag under it only after the registered command has its reply or
// its deadline has passed, so a reply is never left for the next command to take.
// Lock order: sessionMutex_, then pendingMutex_, then writeMutex_. The reader never holds
// pendingMutex_ and writeMutex_ together. The flags are atomics read without locks.
//
// Which reply belongs to whom: every reply the reader frames is routed by routeReply() (the
// awaited command, the control command, a due reply, a stale one, or nobody). A reply that
// began before the awaited command was written is never taken as its answer; a reply nobody
// takes means the session is out of step, and it is torn down.
class Brevacon::Impl {
 public:
  using Clock = std::chrono::steady_clock;
  using SessionGuard = std::lock_guard<SessionMutex>;

  Impl() { replyBuffer_.prepare(128); }

  // Runs a worker that expects the session lock, holding the lock for the call.
  template <typename Worker, typename... Args>
  auto locked(Worker worker, Args&&... args) {
    SessionGuard session(sessionMutex_);
    return (this->*worker)(std::forward<Args>(args)...);
  }

  // --- Operations: each takes the session lock -------------------------------------------------
  void connect(const std::string& host, std::uint16_t port, const std::string& password);
  void disconnect();
  bool isConnected() const { return connected_.load(); }
  bool isLoggedIn() const { return loggedIn_.load(); }
  ControllerStatus getControllerStatus();
  void resetController();
  void motorOn();
  void motorOff();
  std::string motorOnError();
  void setPowerMode(EpsonPowerMode mode);
  PtpMotionLimits getPtpMotionLimits();
  std::vector<double> getTcpOffset();
  void setTcpOffset(const std::vector<double>& pose);
  // Waits at most kStateLockWait for the lock, and not at all while a motion runs.
  std::vector<double> getState();
  std::vector<double> inverseKinematics(const std::vector<double>& pose, bool ljm,
                                        const std::optional<std::vector<double>>& reference);
  // Validates before it takes the lock, so a bad box never waits for a running motion.
  void addSafetyCuboid(const std::vector<double>& min_corner,
                       const std::vector<double>& max_corner);

 private:
  // Brevacon's forwarding names the workers it runs: locked(&Impl::getTool_), motion_, ...
  friend class Brevacon;

  // --- Workers that take the session lock themselves --------------------------------------------
  // Holds the lock for the whole motion and raises motionPending_ meanwhile.
  template <typename MakePlan>
  void motion_(MakePlan make_plan);
  // Beside a running motion it writes without the session lock and gets its reply through the
  // control slot; otherwise it takes the lock for an ordinary exchange.
  void sendMotionControlCommand_(const std::string& command);

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

  // --- Exchange (exchange.cpp); all expect the session lock held, except as noted ---------------
  void command_(const std::string& command, std::chrono::milliseconds timeout);
  std::string executeAndGetResult_(const std::string& statement);
  void parseResponse_(const std::string& reply, const std::string& command);
  static std::int64_t parseControllerStatusValue_(const std::string& text) {
    return protocol::parseControllerStatusValue(text);
  }
  bool readUntilTerminator_(Clock::time_point deadline);
  void receiveAvailable_();
  std::string takeReply_();
  protocol::ReplyRoute dispatch_(std::string& reply, const std::string& awaited, bool stale,
                                 const std::string& command);
  [[noreturn]] void failUnexpected_(const std::string& reply, const std::string& awaited);
  void sendCommand_(const std::string& command, std::chrono::milliseconds timeout);
  // Takes writeMutex_ itself; also called beside a motion without the session lock.
  bool writeLine_(const std::string& line, Clock::time_point deadline);
  void teardown_(const std::string& reason);
  void clearReceived_();
  std::string shownReply_(const std::string& reply, bool one_line = false) const;

  // --- Session (session.cpp); expect the session lock held -------------------------------------
  void attemptConnect_(const boost::asio::ip::tcp::resolver::results_type& endpoints);
  void login_(const std::string& password);
  void logout_();
  void closeSocket_();
  void discardSavedTcpState_();

  // --- Motion (motion.cpp) ----------------------------------------------------------------------
  // Expects the session lock and pendingMutex_ held (through `pending`); waits on pendingCv_.
  void controlDuringMotion_(const std::string& command, std::unique_lock<std::mutex>& pending);
  // Without the session lock: takes writeMutex_.
  void severConnection_();
  // Expects pendingMutex_ held.
  void clearControlSlot_();
  // Expects the session lock held; takes pendingMutex_.
  void finishPendingControl_() noexcept;

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_{io_};
  boost::asio::steady_timer replyTimer_{io_};
  boost::asio::streambuf replyBuffer_;
  protocol::ReplyFramer framer_;
  std::size_t framed_ = 0;      // length of the complete reply at the front of the buffer, or 0
  std::size_t staleBytes_ = 0;  // leading buffered bytes received before the last write
  std::string host_;
  std::uint16_t port_ = 0;
  const std::string terminator_ = "\r\n";
  std::string lastCommand_;
  std::string lastResponse_;
  // The password while connect() runs, so replies that echo it are redacted; empty otherwise.
  std::string loginSecret_;
  std::string lastMotorOnError_;
  bool motorsOn_ = false;
  bool tcpSaved_ = false;
  int savedTool_ = 0;
  std::optional<std::vector<double>> savedTool15_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> loggedIn_{false};
  std::atomic<bool> motionPending_{false};
  std::mutex writeMutex_;
  std::mutex pendingMutex_;
  std::condition_variable pendingCv_;
  std::string pendingPrefix_;
  std::string pendingReply_;
  std::string pendingFailure_;
  Clock::time_point pendingDeadline_;
  std::vector<std::string> duePrefixes_;
  SessionMutex sessionMutex_;
};

template <typename MakePlan>
void Brevacon::Impl::motion_(MakePlan make_plan) {
  SessionGuard session(sessionMutex_);
  {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    motionPending_ = true;
  }
  // Clears the flag on every exit, validation failures included, after the reply of any
  // control command sent during the motion has been read or has become due.
  struct ClearOnExit {
    Impl* self;
    ~ClearOnExit() { self->finishPendingControl_(); }
  } clear_on_exit{this};
  const protocol::MotionPlan plan = make_plan();
  for (const std::string& setting : plan.settings) command_(setting, kReplyTimeout);
  command_(plan.motion, kMotionTimeout);
}

}  // namespace epson
