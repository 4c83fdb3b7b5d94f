// The session: connect (resolve, bounded attempts, login), logout and disconnect.

#include <algorithm>
#include <stdexcept>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "brevacon_impl.h"
#include "log.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

void Brevacon::Impl::discardSavedTcpState_() {
  tcpSaved_ = false;
  savedTool15_.reset();
}

void Brevacon::Impl::resetSession_() {
  loggedIn_ = false;
  motorsOn_ = false;
  discardSavedTcpState_();
}

void Brevacon::Impl::sessionLost_() {
  if (motorsOn_) lostWithMotorsOn_ = true;
  resetSession_();
}

tcp::resolver::results_type Brevacon::Impl::resolve_(const std::string& host, std::uint16_t port,
                                                     const std::string& where) {
  asio::io_context io;
  tcp::resolver resolver(io);
  error_code ec;
  tcp::resolver::results_type endpoints = resolver.resolve(host, std::to_string(port), ec);
  if (ec) {
    const std::string message = "Failed to resolve " + where + ": " + ec.message();
    log::error(message);
    throw ConnectionFailedError(message);
  }
  return endpoints;
}

void Brevacon::Impl::login_(const std::string& password) {
  if (!channel_.isOpen()) {
    log::error("login() called but not connected");
    throw std::runtime_error("login() called but not connected");
  }
  if (loggedIn_) {
    log::error("login() called but already logged in");
    throw std::runtime_error("login() called but already logged in");
  }
  try {
    command_(protocol::loginCommand(password), kReplyTimeout);
  } catch (const MotionAbortedError&) {
    throw;
  } catch (const ControllerError& e) {
    if (e.code() != protocol::kWrongPasswordCode) throw;
    throw ControllerError("The Epson controller refused the password (" + e.reply() +
                              "); check the password of its Remote Ethernet settings",
                          e.code(), e.command(), e.reply());
  }
  loggedIn_ = true;
}

void Brevacon::Impl::logout_() {
  if (!channel_.isOpen()) {
    log::error("logout() called but not connected");
    throw std::runtime_error("logout() called but not connected");
  }
  if (!loggedIn_) {
    log::error("logout() called but not logged in");
    throw std::runtime_error("logout() called but not logged in");
  }
  command_(protocol::kLogoutCommand, kReplyTimeout);
  loggedIn_ = false;
}

void Brevacon::Impl::connect(const std::string& host, std::uint16_t port,
                             const std::string& password, const ConnectOptions& options) {
  // Checked before anything happens: a password holding a line ending is refused here.
  static_cast<void>(protocol::loginCommand(password));
  protocol::checkConnectOptions(options);
  refuseReentry_();
  // The keep-alive of the session this replaces stops first: it takes the lock itself.
  stopKeepalive_();
  connectLocked_(host, port, password, options);
  startKeepalive_(options.keepalive);
}

void Brevacon::Impl::connectLocked_(const std::string& host, std::uint16_t port,
                                    const std::string& password, const ConnectOptions& options) {
  const SessionLock session = lockSession_();
  const std::string where = protocol::escapeText(host) + ":" + std::to_string(port);
  const tcp::resolver::results_type endpoints = resolve_(host, port, where);
  host_ = host;
  port_ = port;
  lastMotorOnError_.clear();
  lostWithMotorsOn_ = false;
  credentials_.reset();
  if (keepCredentials_) credentials_ = Credentials{host, port, password};
  // Saved Tool state belongs to the controller it was read from, not to this one.
  resetSession_();

  // Replies that echo or quote the password are redacted while it is known.
  struct ForgetSecret {
    Channel& channel;
    ~ForgetSecret() { channel.setSecret(std::string()); }
  } forget{channel_};
  channel_.setSecret(password);
  Interrupter interrupter;
  for (int attempt = 1;; ++attempt) {
    try {
      channel_.open(endpoints, options.attempt_timeout, where, interrupter);
      login_(password);
      break;
    } catch (const InterruptedError&) {
      channel_.close();
      resetSession_();
      throw;
    } catch (const std::exception& e) {
      const bool retryable = !channel_.isOpen();
      channel_.close();
      resetSession_();
      if (!retryable) throw;
      if (attempt == options.attempts) {
        throw ConnectionFailedError("Epson Remote Ethernet login failed after " +
                                    std::to_string(attempt) +
                                    (attempt == 1 ? " attempt: " : " attempts: ") + e.what());
      }
      log::error("Epson Remote Ethernet login attempt " + std::to_string(attempt) +
                 " failed; retrying in " + protocol::secondsText(options.retry_pause) + " seconds");
      const auto resume = Clock::now() + options.retry_pause;
      while (Clock::now() < resume) {
        std::this_thread::sleep_until(interrupter.wake(resume));
        if (interrupter.requested()) {
          throw InterruptedError("Interrupted while waiting to retry the connection to " + where);
        }
      }
    }
  }
  log::info("Connected to " + where);
}

void Brevacon::Impl::keepCredentials(bool keep) {
  const SessionLock session = lockSession_();
  keepCredentials_ = keep;
  if (!keep) credentials_.reset();
}

std::optional<std::string> Brevacon::Impl::secureAfterLostSession(
    std::chrono::milliseconds budget) {
  const SessionLock session = lockSession_();
  if (!lostWithMotorsOn_ || channel_.isOpen() || !credentials_) return std::nullopt;
  const Credentials credentials = *credentials_;
  const std::string where =
      protocol::escapeText(credentials.host) + ":" + std::to_string(credentials.port);
  const auto end = Clock::now() + budget;
  const auto left = [end] {
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()));
  };
  struct ForgetSecret {
    Channel& channel;
    ~ForgetSecret() { channel.setSecret(std::string()); }
  } forget{channel_};
  channel_.setSecret(credentials.password);
  std::string done;
  try {
    Interrupter interrupter;
    channel_.open(resolve_(credentials.host, credentials.port, where), left(), where, interrupter);
    command_(protocol::loginCommand(credentials.password), left());
    loggedIn_ = true;
    // Stops a statement the lost session may have left running; with none, it is refused.
    try {
      command_(protocol::kAbortCommand, left());
    } catch (const ControllerError&) {
    }
    // A statement that was aborted ends once the robot is at rest; Motor Off waits for that.
    while (protocol::parseRemoteStatus(command_(protocol::kGetStatusCommand, left())).running) {
      if (Clock::now() >= end) throw TimeoutError("the aborted statement did not end in time");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    command_(protocol::executeCommand(protocol::kMotorOffStatement), left());
    lostWithMotorsOn_ = false;
    done = "The session was lost with the motors on: reconnected to " + where +
           ", wrote $Abort, switched the motors off";
    try {
      logout_();
      done += " and logged out";
    } catch (const std::exception& e) {
      done += std::string(", but the logout failed: ") + e.what();
    }
  } catch (const InterruptedError&) {
    channel_.close();
    resetSession_();
    throw;
  } catch (const std::exception& e) {
    done = "The session was lost with the motors on, and reconnecting to " + where +
           " to switch them off failed: " + e.what();
  }
  channel_.close();
  resetSession_();
  return done;
}

void Brevacon::Impl::disconnect() {
  refuseReentry_();
  stopKeepalive_();
  const SessionLock session = lockSession_();
  if (!channel_.isOpen()) {
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
        command_(protocol::executeCommand(protocol::kMotorOffStatement), kReplyTimeout);
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
  const error_code close_error = channel_.close();
  resetSession_();
  if (close_error) {
    const std::string message = "Failed to disconnect: " + close_error.message();
    log::error(message);
    throw std::runtime_error(message);
  }
  log::info("Disconnected from " + protocol::escapeText(host_) + ":" + std::to_string(port_));
}

}  // namespace epson
