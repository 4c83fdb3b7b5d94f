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
#include "reply_stream.h"
#include "session_mutex.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kReplyTimeout{5000};
constexpr milliseconds kMotionTimeout{300000};
constexpr int kConnectAttempts = 3;
constexpr auto kConnectDeadline = std::chrono::seconds(20);
constexpr auto kRetryPause = std::chrono::seconds(2);
constexpr milliseconds kControlReplyWait{5000};
constexpr auto kStateLockWait = std::chrono::milliseconds(250);
// How often a pause/continue that found no motion re-checks for one while it waits for the
// session lock, so that a motion starting meanwhile does not keep it queued for minutes.
constexpr auto kControlLockPoll = std::chrono::milliseconds(5);
// Bytes asked of the socket per read.
constexpr std::size_t kReceiveChunk = 16 * 1024;
constexpr int kReservedToolSlot = 15;
constexpr double kTcpVerifyTolerance = 0.0001;

constexpr const char* kNotConnected = "command() was called but socket not connected";
constexpr const char* kReadFailure = "Failed while waiting for an Epson Remote Ethernet response: ";

Clock::time_point deadlineAfter(milliseconds timeout) {
  const auto now = Clock::now();
  if (timeout >= std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + timeout;
}

}  // namespace

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
  void command_(const std::string& command, milliseconds timeout);
  bool readUntilTerminator_(Clock::time_point deadline);
  void receiveAvailable_();
  std::string takeReply_();
  protocol::ReplyRoute dispatch_(std::string& reply, const std::string& awaited, bool stale,
                                 const std::string& command);
  [[noreturn]] void failUnexpected_(const std::string& reply, const std::string& awaited);
  void parseResponse_(const std::string& reply, const std::string& command);
  std::string executeAndGetResult_(const std::string& statement);
  static std::int64_t parseControllerStatusValue_(const std::string& text) {
    return protocol::parseControllerStatusValue(text);
  }
  bool writeLine_(const std::string& line, Clock::time_point deadline);
  void sendCommand_(const std::string& command, milliseconds timeout);
  void controlDuringMotion_(const std::string& command, std::unique_lock<std::mutex>& pending);
  void severConnection_();
  void clearControlSlot_();
  void finishPendingControl_() noexcept;
  void teardown_(const std::string& reason);
  std::string shownReply_(const std::string& reply, bool one_line = false) const;

  // Session steps.
  void attemptConnect_(const tcp::resolver::results_type& endpoints);
  void login_(const std::string& password);
  void logout_();
  void closeSocket_();
  void discardSavedTcpState_();
  void clearReceived_();

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
  asio::steady_timer replyTimer_{io_};
  asio::streambuf replyBuffer_;
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
  std::string pendingFailure_;
  Clock::time_point pendingDeadline_;
  std::vector<std::string> duePrefixes_;
  SessionMutex sessionMutex_;
};

// ================================================================================================
// Exchange

bool Brevacon::Impl::writeLine_(const std::string& line, Clock::time_point deadline) {
  // A raw send on the descriptor rather than an Asio write: the motion thread keeps an Asio read
  // in flight on this socket while pause()/continueMotion() write from another thread, and the
  // Asio socket object is not safe for that concurrent use. MSG_NOSIGNAL keeps a closed peer
  // from raising SIGPIPE; MSG_DONTWAIT lets a peer that stopped reading cost at most the deadline.
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (!socket_.is_open()) {
    throw boost::system::system_error(asio::error::bad_descriptor, "write");
  }
  const int fd = socket_.native_handle();
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n =
        ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw boost::system::system_error(error_code(errno, boost::system::system_category()),
                                        "write");
    }
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 60'000)));
  }
  return true;
}

void Brevacon::Impl::sendCommand_(const std::string& command, milliseconds timeout) {
  bool written = false;
  try {
    written = writeLine_(command + terminator_, deadlineAfter(timeout));
  } catch (const std::exception& e) {
    // The stream may hold part of the line: nothing after it could be framed reliably.
    teardown_(e.what());
    throw;
  }
  if (!written) {
    const std::string message = "Timed out writing " + protocol::shownCommandBrief(command) +
                                " to the Epson controller after " +
                                std::to_string(timeout.count()) + " ms";
    teardown_(message);
    throw std::runtime_error(message);
  }
}

void Brevacon::Impl::clearReceived_() {
  replyBuffer_.consume(replyBuffer_.size());
  framer_.reset();
  framed_ = 0;
  staleBytes_ = 0;
}

void Brevacon::Impl::teardown_(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    closeSocket_();
  }
  connected_ = false;
  loggedIn_ = false;
  motorsOn_ = false;
  discardSavedTcpState_();
  clearReceived_();
  std::lock_guard<std::mutex> pending(pendingMutex_);
  if (!pendingPrefix_.empty() && pendingReply_.empty()) {
    pendingFailure_ = reason;
    pendingCv_.notify_one();
  }
  duePrefixes_.clear();
}

std::string Brevacon::Impl::shownReply_(const std::string& reply, bool one_line) const {
  return protocol::escapeText(protocol::redact(reply, loginSecret_), one_line);
}

void Brevacon::Impl::receiveAvailable_() {
  const int fd = socket_.native_handle();
  while (replyBuffer_.size() <= protocol::kMaxReplyBytes) {
    const auto space = replyBuffer_.prepare(kReceiveChunk);
    const ssize_t n = ::recv(fd, space.data(), space.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing more yet, or end of stream: the reply wait reports it
    replyBuffer_.commit(static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < space.size()) return;
  }
}

bool Brevacon::Impl::readUntilTerminator_(Clock::time_point deadline) {
  for (;;) {
    const auto data = replyBuffer_.data();
    framed_ = framer_.scan(std::string_view(static_cast<const char*>(data.data()), data.size()));
    if (framed_ != 0) return true;
    if (replyBuffer_.size() > protocol::kMaxReplyBytes) {
      // The message never carries the reply: it may be a megabyte of anything.
      const std::string message = kReadFailure + std::string("reply too long (more than ") +
                                  std::to_string(protocol::kMaxReplyBytes) +
                                  " bytes without a complete reply)";
      teardown_(message);
      throw std::runtime_error(message);
    }
    if (Clock::now() >= deadline) {
      // Past the deadline, only bytes that have already arrived still count.
      const std::size_t before = replyBuffer_.size();
      receiveAvailable_();
      if (replyBuffer_.size() == before) return false;
      continue;
    }
    error_code result = asio::error::would_block;
    std::size_t received = 0;
    bool timedOut = false;
    replyTimer_.expires_at(deadline);
    io_.restart();
    replyTimer_.async_wait([this, &timedOut](const error_code& ec) {
      if (ec) return;
      timedOut = true;
      if (socket_.is_open()) {
        error_code ignored;
        socket_.cancel(ignored);
      }
    });
    socket_.async_read_some(replyBuffer_.prepare(kReceiveChunk),
                            [this, &result, &received](const error_code& ec, std::size_t n) {
                              result = ec;
                              received = n;
                              replyTimer_.cancel();
                            });
    io_.run();
    replyBuffer_.commit(received);
    if (received != 0) continue;
    if (timedOut) return false;
    const std::string message = kReadFailure + result.message();
    teardown_(message);
    throw std::runtime_error(message);
  }
}

std::string Brevacon::Impl::takeReply_() {
  const auto data = replyBuffer_.data();
  std::string reply =
      protocol::replyText(std::string_view(static_cast<const char*>(data.data()), framed_));
  replyBuffer_.consume(framed_);
  staleBytes_ = staleBytes_ > framed_ ? staleBytes_ - framed_ : 0;
  framed_ = 0;
  return reply;
}

protocol::ReplyRoute Brevacon::Impl::dispatch_(std::string& reply, const std::string& awaited,
                                               bool stale, const std::string& command) {
  std::string discarded;
  protocol::ReplyRoute route;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    const bool controlWaits = !pendingPrefix_.empty() && pendingReply_.empty() &&
                              pendingFailure_.empty();
    protocol::RoutingState state;
    state.awaited = awaited;
    state.control = controlWaits ? std::string_view(pendingPrefix_) : std::string_view();
    state.due = &duePrefixes_;
    state.stale = stale;
    route = protocol::routeReply(reply, state);
    if (route == protocol::ReplyRoute::kControl) {
      pendingReply_ = std::move(reply);
      pendingCv_.notify_one();
    } else if (route == protocol::ReplyRoute::kDue) {
      const auto due = duePrefixes_.begin() +
                       static_cast<std::ptrdiff_t>(protocol::dueIndex(reply, duePrefixes_));
      discarded = "Discarded the late Epson Remote Ethernet reply to $" + due->substr(1) + ": \"" +
                  shownReply_(reply, true) + "\"";
      duePrefixes_.erase(due);
    } else if (route == protocol::ReplyRoute::kStale) {
      discarded = "Discarded an Epson Remote Ethernet reply received before " +
                  protocol::shownCommand(command) + " was sent: \"" + shownReply_(reply, true) +
                  "\"";
    }
  }
  // Outside the lock: a log sink may take locks of its own.
  if (!discarded.empty()) log::error(discarded);
  return route;
}

void Brevacon::Impl::failUnexpected_(const std::string& reply, const std::string& awaited) {
  // The awaited command's own reply may still be on its way, and the next command would take
  // it for its own: the session cannot be trusted any more.
  const std::string message =
      reply.empty() ? std::string("Empty response from Epson controller")
                    : "Unexpected Epson response while waiting for " +
                          (awaited.empty() ? std::string("a control reply") : awaited) + ": " +
                          shownReply_(reply);
  teardown_(message);
  throw std::runtime_error(message);
}

void Brevacon::Impl::command_(const std::string& command, milliseconds timeout) {
  if (!connected_ || !socket_.is_open()) throw std::runtime_error(kNotConnected);
  // Whatever has arrived by now cannot answer the command about to be written.
  receiveAvailable_();
  staleBytes_ = replyBuffer_.size();
  sendCommand_(command, timeout);
  lastCommand_ = command;
  const std::string prefix = protocol::expectedPrefix(command);
  // One deadline for the whole reply, however many lines or foreign replies come first.
  const auto deadline = deadlineAfter(timeout);
  for (;;) {
    if (!readUntilTerminator_(deadline)) {
      const std::string message = "Timed out waiting for an Epson Remote Ethernet response to " +
                                  protocol::shownCommand(lastCommand_) + " after " +
                                  std::to_string(timeout.count()) + " ms";
      teardown_(message);
      throw std::runtime_error(message);
    }
    const bool stale = staleBytes_ > 0;
    std::string reply = takeReply_();
    switch (dispatch_(reply, prefix, stale, command)) {
      case protocol::ReplyRoute::kAwaited:
        lastResponse_ = std::move(reply);
        parseResponse_(lastResponse_, command);
        return;
      case protocol::ReplyRoute::kUnexpected:
        failUnexpected_(reply, prefix);
      default:
        break;
    }
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
      throw std::runtime_error(protocol::errorReplyMessage(reply, command, loginSecret_));
    case protocol::ReplyKind::kInvalid:
      break;
  }
  throw std::runtime_error("Invalid remote command response: " + shownReply_(reply));
}

std::string Brevacon::Impl::executeAndGetResult_(const std::string& statement) {
  command_(protocol::executeCommand(statement), kReplyTimeout);
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
  const std::string where = protocol::escapeText(host_) + ":" + std::to_string(port_);
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
  clearReceived_();
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
  command_("$Login," + password, kReplyTimeout);
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
  command_("$Logout", kReplyTimeout);
}

void Brevacon::Impl::connect(const std::string& host, std::uint16_t port,
                             const std::string& password) {
  // A line ending would end the login line early and send the rest as a second command.
  if (password.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("password must not contain line endings");
  }
  auto session = lockSession();
  const std::string where = protocol::escapeText(host) + ":" + std::to_string(port);
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
  // Saved Tool state belongs to the controller it was read from, not to this one.
  discardSavedTcpState_();
  {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    duePrefixes_.clear();
  }

  // Replies that echo or quote the password are redacted while it is known.
  struct ForgetSecret {
    std::string& secret;
    ~ForgetSecret() { secret.clear(); }
  } forget{loginSecret_};
  loginSecret_ = password;
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
                 " failed; retrying in " + std::to_string(kRetryPause.count()) + " seconds");
      std::this_thread::sleep_for(kRetryPause);
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
        command_(protocol::executeCommand("Motor Off"), kReplyTimeout);
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
  log::info("Disconnected from " + protocol::escapeText(host_) + ":" + std::to_string(port_));
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
  command_(protocol::executeCommand("Reset"), kReplyTimeout);
}

void Brevacon::Impl::motorOn() {
  auto session = lockSession();
  try {
    command_(protocol::executeCommand("Motor On"), kReplyTimeout);
  } catch (const std::exception& e) {
    motorOnError_ = e.what();
    throw;
  }
  motorsOn_ = true;
  motorOnError_.clear();
}

void Brevacon::Impl::motorOff() {
  auto session = lockSession();
  command_(protocol::executeCommand("Motor Off"), kReplyTimeout);
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
  command_(protocol::executeCommand("Power " + word), kReplyTimeout);
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
           kReplyTimeout);
}

void Brevacon::Impl::tlClear_(int tool_num) {
  protocol::validateToolNumber(tool_num, false);
  command_(protocol::executeCommand("TLClr " + std::to_string(tool_num)), kReplyTimeout);
}

void Brevacon::Impl::setTool_(int tool_num) {
  protocol::validateToolNumber(tool_num, true);
  command_(protocol::executeCommand("Tool " + std::to_string(tool_num)), kReplyTimeout);
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

void Brevacon::Impl::finishPendingControl_() noexcept {
  // Called by the motion thread, still holding the session lock, before it clears the
  // motion-pending flag: a control command registered during the motion has been written, and
  // its reply may still be on its way. Read for it until that command's own deadline, so the
  // reply is neither left on the socket for the next command nor lost. If the deadline passes,
  // the control command reports its timeout and its reply becomes due; the motion keeps its own
  // result and the session stays up.
  std::unique_lock<std::mutex> pending(pendingMutex_);
  while (!pendingPrefix_.empty() && pendingReply_.empty() && pendingFailure_.empty() &&
         connected_) {
    const auto deadline = pendingDeadline_;
    pending.unlock();
    try {
      if (readUntilTerminator_(deadline)) {
        std::string reply = takeReply_();
        if (dispatch_(reply, std::string(), false, std::string()) ==
            protocol::ReplyRoute::kUnexpected) {
          failUnexpected_(reply, std::string());
        }
        pending.lock();
        continue;
      }
    } catch (const std::exception&) {
      // The session is torn down and the control command has been told why.
    }
    pending.lock();
    break;
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
  // control command sent during the motion has been read or has become due.
  struct ClearOnExit {
    Impl* self;
    ~ClearOnExit() { self->finishPendingControl_(); }
  } clearOnExit{this};
  const protocol::MotionPlan plan = makePlan();
  for (const std::string& setting : plan.settings) command_(setting, kReplyTimeout);
  command_(plan.motion, kMotionTimeout);
}

void Brevacon::Impl::clearControlSlot_() {
  pendingPrefix_.clear();
  pendingReply_.clear();
  pendingFailure_.clear();
}

void Brevacon::Impl::severConnection_() {
  // The motion thread owns the socket object; shutting the descriptor down from here is safe and
  // makes its read fail, so it tears the session down on its own thread.
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (socket_.is_open()) ::shutdown(socket_.native_handle(), SHUT_RDWR);
  connected_ = false;
  loggedIn_ = false;
}

void Brevacon::Impl::controlDuringMotion_(const std::string& command,
                                          std::unique_lock<std::mutex>& pending) {
  if (!pendingPrefix_.empty()) {
    throw std::runtime_error("Another Epson motion-control command is pending");
  }
  const std::string prefix = protocol::expectedPrefix(command);
  clearControlSlot_();
  pendingPrefix_ = prefix;
  bool written = false;
  try {
    written = writeLine_(command + terminator_, Clock::now() + kControlReplyWait);
  } catch (...) {
    clearControlSlot_();
    severConnection_();
    throw;
  }
  if (!written) {
    clearControlSlot_();
    severConnection_();
    throw std::runtime_error("Timed out writing " + protocol::shownCommandBrief(command) +
                             " to the Epson controller after " +
                             std::to_string(kControlReplyWait.count()) + " ms");
  }
  pendingDeadline_ = Clock::now() + kControlReplyWait;
  pendingCv_.wait_until(pending, pendingDeadline_,
                        [this] { return !pendingReply_.empty() || !pendingFailure_.empty(); });
  const std::string reply = std::move(pendingReply_);
  const std::string failure = std::move(pendingFailure_);
  clearControlSlot_();
  if (!failure.empty()) {
    throw std::runtime_error("Lost the Epson Remote Ethernet session while waiting for the reply to " +
                             protocol::escapeText(command) + ": " + failure);
  }
  if (reply.empty()) {
    // The controller may still answer; whoever reads then must not take it for their own.
    if (connected_) duePrefixes_.push_back(prefix);
    throw std::runtime_error("Timed out waiting for Epson response to " +
                             protocol::escapeText(command));
  }
  parseResponse_(reply, command);
}

void Brevacon::Impl::sendMotionControlCommand_(const std::string& command) {
  for (;;) {
    {
      std::unique_lock<std::mutex> pending(pendingMutex_);
      if (motionPending_) {
        controlDuringMotion_(command, pending);
        return;
      }
    }
    SessionLock session(sessionMutex_, std::defer_lock);
    if (session.try_lock_for(kControlLockPoll)) {
      // The flag is only set by a holder of the session lock, so it is clear for this exchange.
      command_(command, kReplyTimeout);
      return;
    }
  }
}

void Brevacon::Impl::addSafetyCuboid(const std::vector<double>& min_corner,
                                     const std::vector<double>& max_corner) {
  protocol::validateCuboid(min_corner, max_corner);
  auto session = lockSession();
  const std::string statement = protocol::buildXYLimStatement(min_corner, max_corner);
  command_(protocol::executeCommand("XYLimMode 1"), kReplyTimeout);
  command_(protocol::executeCommand(statement), kReplyTimeout);
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
