#include <epson/brevacon.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/system_error.hpp>

#include "log.h"
#include "protocol.h"
#include "session_mutex.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kReplyTimeoutMs = 5000;
constexpr std::int64_t kMotionTimeoutMs = 300000;
constexpr int kConnectAttempts = 3;
constexpr auto kConnectDeadline = std::chrono::nanoseconds(20'000'000'000);
constexpr int kRetryPauseSeconds = 2;
constexpr auto kControlReplyWait = std::chrono::seconds(5);
constexpr auto kStateLockWait = std::chrono::milliseconds(250);
// How often a pause/continue that found no motion re-checks for one while it waits for the
// session lock, so that a motion starting meanwhile does not keep it queued for minutes.
constexpr auto kControlLockPoll = std::chrono::milliseconds(5);
constexpr int kReservedToolSlot = 15;
constexpr double kTcpVerifyTolerance = 0.0001;

Clock::time_point deadlineAfter(std::int64_t ms) {
  const auto now = Clock::now();
  const auto limit =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (ms >= limit.count()) return Clock::time_point::max();
  return now + std::chrono::milliseconds(ms);
}

}  // namespace

// Concurrency design.
//
// sessionMutex_ (timed) serialises whole operations; go()/move() hold it for the whole motion.
// Only its holder runs io_ (inside connect or a reply wait), reads the socket and changes the
// session members. writeMutex_ guards every write to the socket and the socket's close during a
// teardown, because pause()/continueMotion() write beside a running motion without the session
// lock. pendingMutex_ guards the pending-reply slot (pendingPrefix_, pendingReply_,
// pendingCv_) and every change of motionPending_: a control command decides between its two
// paths and registers itself under it, and a motion clears the flag under it only after it has
// read the reply of a registered command, so no reply is ever left unread on the socket.
// Lock order: sessionMutex_, then pendingMutex_, then writeMutex_. The reader never holds
// pendingMutex_ and writeMutex_ together. The flags are atomics read without locks.
class Brevacon::Impl {
 public:
  Impl() { replyBuffer_.prepare(128); }

  // --- Session ---------------------------------------------------------------------------------
  void connect(const std::string& host, std::uint16_t port, const std::string& password);
  void disconnect();
  bool isConnected() const { return connected_.load(); }
  bool isLoggedIn() const { return loggedIn_.load(); }

  // --- Status, motors, power -------------------------------------------------------------------
  ControllerStatus getControllerStatus();
  bool isEmergencyStopped();
  void resetController();
  void motorOn();
  void motorOff();
  std::string motorOnError();
  EpsonPowerMode getPowerMode();
  void setPowerMode(EpsonPowerMode mode);
  PtpMotionLimits getPtpMotionLimits();

  // --- Tools -----------------------------------------------------------------------------------
  void tlSet(int tool_num, const std::string& point);
  void tlClear(int tool_num);
  void setTool(int tool_num);
  int getTool();
  bool isToolDefined(int tool_num);
  std::vector<double> getToolDefinition(int tool_num);
  std::vector<double> getTcpOffset();
  void setTcpOffset(const std::vector<double>& pose);
  void restoreTcpOffset();

  // --- State, IK, motion, workspace ------------------------------------------------------------
  std::vector<double> getState();
  std::vector<double> inverseKinematics(const std::vector<double>& pose, bool ljm,
                                        const std::optional<std::vector<double>>& reference);
  template <typename MakePlan>
  void motion_(MakePlan makePlan);
  void sendMotionControlCommand_(const std::string& command);
  void addSafetyCuboid(const std::vector<double>& min_corner,
                       const std::vector<double>& max_corner);

 private:
  using SessionLock = std::unique_lock<SessionMutex>;
  SessionLock lockSession() { return SessionLock(sessionMutex_); }

  // Exchange.
  void command_(const std::string& command, std::int64_t timeout_ms);
  std::string readReply_(std::int64_t timeout_ms);
  std::string takeLine_();
  void readUntilTerminator_(std::int64_t timeout_ms);
  void parseResponse_(const std::string& reply, const std::string& command);
  std::string executeAndGetResult_(const std::string& statement);
  static std::int64_t parseControllerStatusValue_(const std::string& text) {
    return protocol::parseControllerStatusValue(text);
  }
  void writeLine_(const std::string& line);
  bool handToPending_(const std::string& reply);
  void finishPendingControl_();
  void teardown_();

  // Session steps.
  void attemptConnect_(const tcp::resolver::results_type& endpoints);
  void login_(const std::string& password);
  void logout_();
  void closeSocket_();
  void discardSavedTcpState_();

  // Workers called with the session lock held.
  bool isEmergencyStopped_();
  EpsonPowerMode getPowerMode_();
  void tlSet_(int tool_num, const std::string& point);
  void tlClear_(int tool_num);
  void setTool_(int tool_num);
  int getTool_();
  bool isToolDefined_(int tool_num);
  std::vector<double> getToolDefinition_(int tool_num);
  void restoreTcpOffset_();

  asio::io_context io_;
  tcp::socket socket_{io_};
  asio::streambuf replyBuffer_{protocol::kMaxReplyLineBytes};
  std::string host_;
  std::uint16_t port_ = 0;
  const std::string terminator_ = "\r\n";
  std::string lastCommand_;
  std::string lastResponse_;
  std::string motorOnError_;
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
  SessionMutex sessionMutex_;
};

// ================================================================================================
// Exchange

void Brevacon::Impl::writeLine_(const std::string& line) {
  // A raw send on the descriptor rather than an Asio write: the motion thread keeps an Asio read
  // in flight on this socket while pause()/continueMotion() write from another thread, and the
  // Asio socket object is not safe for that concurrent use. MSG_NOSIGNAL keeps a closed peer
  // from raising SIGPIPE.
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (!socket_.is_open()) {
    throw boost::system::system_error(asio::error::bad_descriptor, "write");
  }
  const int fd = socket_.native_handle();
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd pfd{fd, POLLOUT, 0};
      ::poll(&pfd, 1, -1);
      continue;
    }
    throw boost::system::system_error(error_code(errno, boost::system::system_category()), "write");
  }
}

void Brevacon::Impl::teardown_() {
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    closeSocket_();
  }
  connected_ = false;
  loggedIn_ = false;
  motorsOn_ = false;
  discardSavedTcpState_();
}

void Brevacon::Impl::readUntilTerminator_(std::int64_t timeout_ms) {
  error_code readResult = asio::error::would_block;
  bool timedOut = false;
  asio::steady_timer timer(io_);
  timer.expires_at(deadlineAfter(timeout_ms));
  io_.restart();
  timer.async_wait([this, &timedOut](const error_code& ec) {
    if (ec) return;
    timedOut = true;
    if (socket_.is_open()) {
      error_code ignored;
      socket_.cancel(ignored);
    }
  });
  asio::async_read_until(socket_, replyBuffer_, terminator_,
                         [&readResult, &timer](const error_code& ec, std::size_t) {
                           readResult = ec;
                           timer.cancel();
                         });
  io_.run();
  if (!timedOut && !readResult) return;

  teardown_();
  if (timedOut) {
    throw std::runtime_error("Timed out waiting for an Epson Remote Ethernet response to " +
                             protocol::shownCommand(lastCommand_) + " after " +
                             std::to_string(timeout_ms) + " ms");
  }
  // The buffer is capped: a peer that never ends its line cannot make us buffer without bound.
  const std::string reason = readResult == asio::error::not_found
                                 ? "reply line too long (more than " +
                                       std::to_string(protocol::kMaxReplyLineBytes) +
                                       " bytes without a line terminator)"
                                 : readResult.message();
  replyBuffer_.consume(replyBuffer_.size());
  throw std::runtime_error("Failed while waiting for an Epson Remote Ethernet response: " + reason);
}

std::string Brevacon::Impl::takeLine_() {
  const auto data = replyBuffer_.data();
  const char* begin = static_cast<const char*>(data.data());
  const std::string_view view(begin, data.size());
  const auto lf = view.find('\n');
  std::string line(view.substr(0, lf));
  replyBuffer_.consume(lf == std::string_view::npos ? view.size() : lf + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string Brevacon::Impl::readReply_(std::int64_t timeout_ms) {
  readUntilTerminator_(timeout_ms);
  std::string reply = takeLine_();
  // A quoted result may hold line breaks: the reply ends only when its quotes balance.
  while (protocol::countQuotes(reply) % 2 != 0) {
    readUntilTerminator_(timeout_ms);
    reply += '\n';
    reply += takeLine_();
  }
  return reply;
}

bool Brevacon::Impl::handToPending_(const std::string& reply) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  if (pendingPrefix_.empty()) return false;
  if (reply[0] != '!' && reply.rfind(pendingPrefix_, 0) != 0) return false;
  pendingReply_ = reply;
  pendingCv_.notify_one();
  return true;
}

void Brevacon::Impl::command_(const std::string& command, std::int64_t timeout_ms) {
  if (!connected_ || !socket_.is_open()) {
    throw std::runtime_error("command() was called but socket not connected");
  }
  writeLine_(command + terminator_);
  lastCommand_ = command;
  const std::string prefix = protocol::expectedPrefix(command);
  for (;;) {
    std::string reply = readReply_(timeout_ms);
    if (reply.empty()) throw std::runtime_error("Empty response from Epson controller");
    if (reply.rfind(prefix, 0) == 0) {
      lastResponse_ = reply;
      parseResponse_(lastResponse_, command);
      return;
    }
    if (handToPending_(reply)) continue;
    if (reply[0] == '!') {
      lastResponse_ = reply;
      parseResponse_(lastResponse_, command);
    }
    throw std::runtime_error("Unexpected Epson response while waiting for " + prefix + ": " +
                             reply);
  }
}

void Brevacon::Impl::parseResponse_(const std::string& reply, const std::string& command) {
  switch (protocol::classifyReply(reply)) {
    case protocol::ReplyKind::kEmpty:
      throw std::runtime_error("Empty response from Epson controller");
    case protocol::ReplyKind::kSuccess:
      if (reply.rfind("#Login", 0) == 0) {
        loggedIn_ = true;
      } else if (reply.rfind("#Logout", 0) == 0) {
        loggedIn_ = false;
      }
      return;
    case protocol::ReplyKind::kError:
      throw std::runtime_error(protocol::errorReplyMessage(reply, command));
    case protocol::ReplyKind::kInvalid:
      break;
  }
  throw std::runtime_error("Invalid remote command response: " + reply);
}

std::string Brevacon::Impl::executeAndGetResult_(const std::string& statement) {
  command_(protocol::executeCommand(statement), kReplyTimeoutMs);
  return protocol::extractExecuteResult(lastResponse_);
}

// ================================================================================================
// Session

void Brevacon::Impl::closeSocket_() {
  error_code ignored;
  socket_.close(ignored);
}

void Brevacon::Impl::discardSavedTcpState_() {
  tcpSaved_ = false;
  savedTool15_.reset();
}

void Brevacon::Impl::attemptConnect_(const tcp::resolver::results_type& endpoints) {
  const std::string where = host_ + ":" + std::to_string(port_);
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    closeSocket_();
    socket_ = tcp::socket(io_);
  }
  error_code result = asio::error::would_block;
  asio::async_connect(socket_, endpoints,
                      [&result](const error_code& ec, const tcp::endpoint&) { result = ec; });
  io_.restart();
  const auto deadline = Clock::now() + kConnectDeadline;
  while (!io_.stopped() && Clock::now() < deadline) io_.run_one_until(deadline);
  if (!io_.stopped()) {
    closeSocket_();
    io_.run();
    throw std::runtime_error("Connection to " + where + " timed out");
  }
  if (result) {
    closeSocket_();
    throw std::runtime_error("Failed to connect to " + where + ": " + result.message());
  }
  error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  // Bytes of an earlier session must not be taken for replies of this one.
  replyBuffer_.consume(replyBuffer_.size());
  connected_ = true;
  loggedIn_ = false;
}

void Brevacon::Impl::login_(const std::string& password) {
  if (!connected_) {
    log::error("login() called but not connected");
    throw std::runtime_error("login() called but not connected");
  }
  if (loggedIn_) {
    log::error("login() called but already logged in");
    throw std::runtime_error("login() called but already logged in");
  }
  command_("$Login," + password, kReplyTimeoutMs);
}

void Brevacon::Impl::logout_() {
  if (!connected_) {
    log::error("logout() called but not connected");
    throw std::runtime_error("logout() called but not connected");
  }
  if (!loggedIn_) {
    log::error("logout() called but not logged in");
    throw std::runtime_error("logout() called but not logged in");
  }
  command_("$Logout", kReplyTimeoutMs);
}

void Brevacon::Impl::connect(const std::string& host, std::uint16_t port,
                             const std::string& password) {
  // A line ending would end the login line early and send the rest as a second command.
  if (password.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("password must not contain line endings");
  }
  auto session = lockSession();
  const std::string where = host + ":" + std::to_string(port);
  tcp::resolver::results_type endpoints;
  {
    tcp::resolver resolver(io_);
    error_code ec;
    endpoints = resolver.resolve(host, std::to_string(port), ec);
    if (ec) {
      const std::string message = "Failed to resolve " + where + ": " + ec.message();
      log::error(message);
      throw std::runtime_error(message);
    }
  }
  host_ = host;
  port_ = port;
  motorOnError_.clear();
  motorsOn_ = false;

  for (int attempt = 1;; ++attempt) {
    try {
      attemptConnect_(endpoints);
      login_(password);
      break;
    } catch (const std::exception& e) {
      const bool retryable = !connected_ || !socket_.is_open();
      {
        std::lock_guard<std::mutex> lock(writeMutex_);
        closeSocket_();
      }
      connected_ = false;
      loggedIn_ = false;
      if (!retryable) throw;
      if (attempt == kConnectAttempts) {
        throw std::runtime_error("Epson Remote Ethernet login failed after " +
                                 std::to_string(kConnectAttempts) + " attempts: " + e.what());
      }
      log::error("Epson Remote Ethernet login attempt " + std::to_string(attempt) +
                 " failed; retrying in " + std::to_string(kRetryPauseSeconds) + " seconds");
      std::this_thread::sleep_for(std::chrono::seconds(kRetryPauseSeconds));
    }
  }
  // The password lives only in the login line; do not keep it beyond the session set-up.
  lastCommand_ = "$Login,<redacted>";
  log::info("Connected to " + where);
}

void Brevacon::Impl::disconnect() {
  auto session = lockSession();
  if (!connected_) {
    discardSavedTcpState_();
    return;
  }
  if (loggedIn_) {
    if (tcpSaved_) {
      try {
        restoreTcpOffset_();
      } catch (const std::exception& e) {
        log::error(std::string("Failed to restore Epson TCP state: ") + e.what());
      }
    }
    if (motorsOn_) {
      try {
        command_(protocol::executeCommand("Motor Off"), kReplyTimeoutMs);
        motorsOn_ = false;
      } catch (const std::exception& e) {
        log::error(std::string("Failed to turn off motor: ") + e.what());
      }
    }
    try {
      logout_();
    } catch (const std::exception& e) {
      log::error(std::string("Failed to log out of controller: ") + e.what());
    }
  }
  error_code closeError;
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(closeError);
  }
  connected_ = false;
  loggedIn_ = false;
  motorsOn_ = false;
  if (closeError) {
    const std::string message = "Failed to disconnect: " + closeError.message();
    log::error(message);
    throw std::runtime_error(message);
  }
  log::info("Disconnected from " + host_ + ":" + std::to_string(port_));
}

// ================================================================================================
// Status, motors and power

ControllerStatus Brevacon::Impl::getControllerStatus() {
  auto session = lockSession();
  return protocol::parseControllerStatus(executeAndGetResult_(
      "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"));
}

bool Brevacon::Impl::isEmergencyStopped_() {
  return protocol::parseEmergencyStop(executeAndGetResult_("Print EStopOn"));
}

bool Brevacon::Impl::isEmergencyStopped() {
  auto session = lockSession();
  return isEmergencyStopped_();
}

void Brevacon::Impl::resetController() {
  auto session = lockSession();
  command_(protocol::executeCommand("Reset"), kReplyTimeoutMs);
}

void Brevacon::Impl::motorOn() {
  auto session = lockSession();
  try {
    command_(protocol::executeCommand("Motor On"), kReplyTimeoutMs);
  } catch (const std::exception& e) {
    motorOnError_ = e.what();
    throw;
  }
  motorsOn_ = true;
  motorOnError_.clear();
}

void Brevacon::Impl::motorOff() {
  auto session = lockSession();
  command_(protocol::executeCommand("Motor Off"), kReplyTimeoutMs);
  motorsOn_ = false;
}

std::string Brevacon::Impl::motorOnError() {
  auto session = lockSession();
  return motorOnError_;
}

EpsonPowerMode Brevacon::Impl::getPowerMode_() {
  return protocol::powerModeFromValue(
      parseControllerStatusValue_(executeAndGetResult_("Print Power")));
}

EpsonPowerMode Brevacon::Impl::getPowerMode() {
  auto session = lockSession();
  return getPowerMode_();
}

void Brevacon::Impl::setPowerMode(EpsonPowerMode mode) {
  auto session = lockSession();
  std::string word;
  switch (mode) {
    case EpsonPowerMode::LOW:
      word = "Low";
      break;
    case EpsonPowerMode::HIGH:
      word = "High";
      break;
  }
  if (word.empty()) throw std::invalid_argument("Unknown Epson power mode");
  command_(protocol::executeCommand("Power " + word), kReplyTimeoutMs);
  if (getPowerMode_() != mode) {
    throw std::runtime_error("Epson controller did not enter Power " + word + " mode");
  }
}

PtpMotionLimits Brevacon::Impl::getPtpMotionLimits() {
  auto session = lockSession();
  return protocol::parseAccelMax(executeAndGetResult_("Print AccelMax(1),AccelMax(2)"));
}

// ================================================================================================
// Tools and TCP offset

void Brevacon::Impl::tlSet_(int tool_num, const std::string& point) {
  protocol::validateToolNumber(tool_num, false);
  if (point.empty()) throw std::invalid_argument("TLSet tool_def_point must not be empty");
  if (point.find_first_of("\"\r\n") != std::string::npos) {
    throw std::invalid_argument("TLSet tool_def_point must not contain quotes or line endings");
  }
  command_(protocol::executeCommand("TLSet " + std::to_string(tool_num) + ", " + point),
           kReplyTimeoutMs);
}

void Brevacon::Impl::tlClear_(int tool_num) {
  protocol::validateToolNumber(tool_num, false);
  command_(protocol::executeCommand("TLClr " + std::to_string(tool_num)), kReplyTimeoutMs);
}

void Brevacon::Impl::setTool_(int tool_num) {
  protocol::validateToolNumber(tool_num, true);
  command_(protocol::executeCommand("Tool " + std::to_string(tool_num)), kReplyTimeoutMs);
}

int Brevacon::Impl::getTool_() {
  const std::int64_t tool = parseControllerStatusValue_(executeAndGetResult_("Print Tool"));
  if (tool < 0 || tool > 15) {
    throw std::runtime_error("Controller returned an invalid Tool number: " + std::to_string(tool));
  }
  return static_cast<int>(tool);
}

bool Brevacon::Impl::isToolDefined_(int tool_num) {
  protocol::validateToolNumber(tool_num, false);
  return parseControllerStatusValue_(
             executeAndGetResult_("Print TLDef(" + std::to_string(tool_num) + ")")) != 0;
}

std::vector<double> Brevacon::Impl::getToolDefinition_(int tool_num) {
  protocol::validateToolNumber(tool_num, false);
  if (!isToolDefined_(tool_num)) {
    throw std::runtime_error("Tool " + std::to_string(tool_num) + " is not defined");
  }
  return protocol::parseToolDefinition(
      executeAndGetResult_(protocol::toolDefinitionQuery(tool_num)));
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

void Brevacon::Impl::tlSet(int tool_num, const std::string& point) {
  auto session = lockSession();
  tlSet_(tool_num, point);
}

void Brevacon::Impl::tlClear(int tool_num) {
  auto session = lockSession();
  tlClear_(tool_num);
}

void Brevacon::Impl::setTool(int tool_num) {
  auto session = lockSession();
  setTool_(tool_num);
}

int Brevacon::Impl::getTool() {
  auto session = lockSession();
  return getTool_();
}

bool Brevacon::Impl::isToolDefined(int tool_num) {
  auto session = lockSession();
  return isToolDefined_(tool_num);
}

std::vector<double> Brevacon::Impl::getToolDefinition(int tool_num) {
  auto session = lockSession();
  return getToolDefinition_(tool_num);
}

std::vector<double> Brevacon::Impl::getTcpOffset() {
  auto session = lockSession();
  const int tool = getTool_();
  if (tool == 0) return std::vector<double>(6, 0.0);
  return protocol::nativeToTcp(getToolDefinition_(tool));
}

void Brevacon::Impl::setTcpOffset(const std::vector<double>& pose) {
  auto session = lockSession();
  if (pose.size() != 6) throw std::invalid_argument("TCP offset must contain exactly 6 values");
  for (double v : pose) {
    if (!std::isfinite(v)) throw std::invalid_argument("TCP offset values must be finite");
  }
  const std::vector<double> native = protocol::tcpToNative(pose);
  if (!tcpSaved_) {
    const int tool = getTool_();
    std::optional<std::vector<double>> slot15;
    if (isToolDefined_(kReservedToolSlot)) slot15 = getToolDefinition_(kReservedToolSlot);
    savedTool_ = tool;
    savedTool15_ = std::move(slot15);
    tcpSaved_ = true;
  }
  tlSet_(kReservedToolSlot, protocol::formatToolPoint(native));
  setTool_(kReservedToolSlot);
  const std::vector<double> readBack = getToolDefinition_(kReservedToolSlot);
  bool verified = readBack.size() == native.size();
  for (std::size_t i = 0; verified && i < native.size(); ++i) {
    verified = protocol::withinTolerance(readBack[i], native[i], kTcpVerifyTolerance);
  }
  if (!verified || getTool_() != kReservedToolSlot) {
    throw std::runtime_error("Failed to verify the Epson controller TCP offset");
  }
}

void Brevacon::Impl::restoreTcpOffset() {
  auto session = lockSession();
  restoreTcpOffset_();
}

// ================================================================================================
// Robot state and inverse kinematics

std::vector<double> Brevacon::Impl::getState() {
  if (motionPending_) {
    throw std::runtime_error(
        "getState() skipped: a motion command is in progress and holds the connection until "
        "the move completes");
  }
  SessionLock session(sessionMutex_, std::defer_lock);
  if (!session.try_lock_until(Clock::now() + kStateLockWait)) {
    throw std::runtime_error("getState() timed out waiting for the connection");
  }
  return protocol::parseState(executeAndGetResult_(
      "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),"
      "CV(Here),CW(Here)"));
}

std::vector<double> Brevacon::Impl::inverseKinematics(
    const std::vector<double>& pose, bool ljm,
    const std::optional<std::vector<double>>& reference) {
  auto session = lockSession();
  const std::string point = protocol::buildIkPoint(pose, ljm, reference);
  std::vector<double> joints;
  joints.reserve(6);
  for (int joint = 1; joint <= 6; ++joint) {
    const std::string query = "Print PAgl(" + point + "," + std::to_string(joint) + ")";
    std::string result;
    try {
      result = executeAndGetResult_(query);
    } catch (const std::exception& e) {
      throw std::runtime_error("Epson controller IK query failed for joint " +
                               std::to_string(joint) + " (" + query + "): " + e.what());
    }
    joints.push_back(protocol::parseIkJoint(result, joint));
  }
  return joints;
}

// ================================================================================================
// Motion

void Brevacon::Impl::finishPendingControl_() {
  // Called by the motion thread, still holding the session lock, before it clears the
  // motion-pending flag: a control command registered during the motion has been written, and
  // its reply may still be on its way. Read it here and hand it over, so it is neither left on
  // the socket for the next command nor lost to a 5 s timeout.
  std::unique_lock<std::mutex> pending(pendingMutex_);
  while (!pendingPrefix_.empty() && pendingReply_.empty() && connected_) {
    pending.unlock();
    std::string reply;
    try {
      reply = readReply_(kReplyTimeoutMs);
    } catch (const std::exception&) {
      // The session is torn down; the waiting command reports its own timeout.
      pending.lock();
      break;
    }
    pending.lock();
    if (!reply.empty() && !pendingPrefix_.empty() &&
        (reply[0] == '!' || reply.rfind(pendingPrefix_, 0) == 0)) {
      pendingReply_ = reply;
      pendingCv_.notify_one();
    }
  }
  motionPending_ = false;
}

template <typename MakePlan>
void Brevacon::Impl::motion_(MakePlan makePlan) {
  auto session = lockSession();
  {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    motionPending_ = true;
  }
  // Clears the flag on every exit, validation failures included, after the reply of any
  // control command sent during the motion has been read.
  struct ClearOnExit {
    Impl* self;
    ~ClearOnExit() { self->finishPendingControl_(); }
  } clearOnExit{this};
  const protocol::MotionPlan plan = makePlan();
  for (const std::string& setting : plan.settings) command_(setting, kReplyTimeoutMs);
  command_(plan.motion, kMotionTimeoutMs);
}

void Brevacon::Impl::sendMotionControlCommand_(const std::string& command) {
  for (;;) {
    {
      std::unique_lock<std::mutex> pending(pendingMutex_);
      if (motionPending_) {
        if (!pendingPrefix_.empty()) {
          throw std::runtime_error("Another Epson motion-control command is pending");
        }
        pendingPrefix_ = protocol::expectedPrefix(command);
        pendingReply_.clear();
        try {
          writeLine_(command + terminator_);
        } catch (...) {
          pendingPrefix_.clear();
          pendingReply_.clear();
          throw;
        }
        const auto deadline = Clock::now() + kControlReplyWait;
        pendingCv_.wait_until(pending, deadline, [this] { return !pendingReply_.empty(); });
        std::string reply = std::move(pendingReply_);
        pendingPrefix_.clear();
        pendingReply_.clear();
        if (reply.empty()) {
          throw std::runtime_error("Timed out waiting for Epson response to " + command);
        }
        parseResponse_(reply, command);
        return;
      }
    }
    SessionLock session(sessionMutex_, std::defer_lock);
    if (session.try_lock_for(kControlLockPoll)) {
      // The flag is only set by a holder of the session lock, so it is clear for this exchange.
      command_(command, kReplyTimeoutMs);
      return;
    }
  }
}

void Brevacon::Impl::addSafetyCuboid(const std::vector<double>& min_corner,
                                     const std::vector<double>& max_corner) {
  protocol::validateCuboid(min_corner, max_corner);
  auto session = lockSession();
  const std::string statement = protocol::buildXYLimStatement(min_corner, max_corner);
  command_(protocol::executeCommand("XYLimMode 1"), kReplyTimeoutMs);
  command_(protocol::executeCommand(statement), kReplyTimeoutMs);
  protocol::verifyXYLimMode(executeAndGetResult_("Print XYLimMode"));
  protocol::verifyXYLimBounds(
      executeAndGetResult_(
          "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))"),
      {min_corner[0], max_corner[0], min_corner[1], max_corner[1], min_corner[2], max_corner[2]});
}

// ================================================================================================
// Public forwarding

Brevacon::Brevacon() : impl_(std::make_unique<Impl>()) {}
Brevacon::~Brevacon() = default;

void Brevacon::connect(const std::string& host, std::uint16_t port, const std::string& password) {
  impl_->connect(host, port, password);
}
void Brevacon::disconnect() { impl_->disconnect(); }
bool Brevacon::isConnected() const { return impl_->isConnected(); }
bool Brevacon::isLoggedIn() const { return impl_->isLoggedIn(); }

ControllerStatus Brevacon::getControllerStatus() { return impl_->getControllerStatus(); }
bool Brevacon::isEmergencyStopped() { return impl_->isEmergencyStopped(); }
void Brevacon::resetController() { impl_->resetController(); }
void Brevacon::motorOn() { impl_->motorOn(); }
void Brevacon::motorOff() { impl_->motorOff(); }
std::string Brevacon::motorOnError() { return impl_->motorOnError(); }
void Brevacon::pause() { impl_->sendMotionControlCommand_("$Pause"); }
void Brevacon::continueMotion() { impl_->sendMotionControlCommand_("$Continue"); }
EpsonPowerMode Brevacon::getPowerMode() { return impl_->getPowerMode(); }
void Brevacon::setPowerMode(EpsonPowerMode mode) { impl_->setPowerMode(mode); }
PtpMotionLimits Brevacon::getPtpMotionLimits() { return impl_->getPtpMotionLimits(); }

void Brevacon::tlSet(int tool_num, const std::string& tool_def_point) {
  impl_->tlSet(tool_num, tool_def_point);
}
void Brevacon::tlClear(int tool_num) { impl_->tlClear(tool_num); }
void Brevacon::setTool(int tool_num) { impl_->setTool(tool_num); }
int Brevacon::getTool() { return impl_->getTool(); }
bool Brevacon::isToolDefined(int tool_num) { return impl_->isToolDefined(tool_num); }
std::vector<double> Brevacon::getToolDefinition(int tool_num) {
  return impl_->getToolDefinition(tool_num);
}
std::vector<double> Brevacon::getTcpOffset() { return impl_->getTcpOffset(); }
void Brevacon::setTcpOffset(const std::vector<double>& pose) { impl_->setTcpOffset(pose); }
void Brevacon::restoreTcpOffset() { impl_->restoreTcpOffset(); }

std::vector<double> Brevacon::getState() { return impl_->getState(); }
std::vector<double> Brevacon::inverseKinematics(
    const std::vector<double>& cartesian_pose, bool least_joint_motion,
    const std::optional<std::vector<double>>& reference_joint_positions) {
  return impl_->inverseKinematics(cartesian_pose, least_joint_motion, reference_joint_positions);
}

void Brevacon::go(const std::string& destination, bool cp, bool ljm,
                  std::optional<int> orientation_flag,
                  const std::optional<std::string>& search_expression,
                  const std::optional<std::string>& parallel_processing, bool sync,
                  std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                  std::optional<int> deceleration_percent) {
  impl_->motion_([&] {
    return protocol::planGo(destination, cp, ljm, orientation_flag, search_expression,
                            parallel_processing, sync, speed_percent, acceleration_percent,
                            deceleration_percent);
  });
}

void Brevacon::move(const std::string& destination, bool rot, bool ecp, bool cp,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing, bool sync,
                    std::optional<double> speed_mm_s, std::optional<double> acceleration_mm_s2) {
  impl_->motion_([&] {
    return protocol::planMove(destination, rot, ecp, cp, search_expression, parallel_processing,
                              sync, speed_mm_s, acceleration_mm_s2);
  });
}

void Brevacon::addSafetyCuboid(const std::vector<double>& min_corner_mm,
                               const std::vector<double>& max_corner_mm) {
  impl_->addSafetyCuboid(min_corner_mm, max_corner_mm);
}

}  // namespace epson
