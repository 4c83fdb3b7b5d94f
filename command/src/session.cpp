// The session: connect (resolve, bounded attempts, login), logout and disconnect.

#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>

#include "brevacon_impl.h"
#include "log.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

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
  const auto deadline = Clock::now() + kConnectAttemptTimeout;
  while (!io_.stopped() && Clock::now() < deadline) io_.run_one_until(deadline);
  if (!io_.stopped()) {
    closeSocket_();
    io_.run();
    throw ConnectionFailedError("Connection to " + where + " timed out");
  }
  if (result) {
    closeSocket_();
    throw ConnectionFailedError("Failed to connect to " + where + ": " + result.message());
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
  command_(protocol::loginCommand(password), kReplyTimeout);
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
  command_(protocol::kLogoutCommand, kReplyTimeout);
}

void Brevacon::Impl::connect(const std::string& host, std::uint16_t port,
                             const std::string& password) {
  // Checked before anything happens: the login line is built once, here.
  const std::string login = protocol::loginCommand(password);
  SessionGuard session(sessionMutex_);
  const std::string where = protocol::escapeText(host) + ":" + std::to_string(port);
  tcp::resolver::results_type endpoints;
  {
    tcp::resolver resolver(io_);
    error_code ec;
    endpoints = resolver.resolve(host, std::to_string(port), ec);
    if (ec) {
      const std::string message = "Failed to resolve " + where + ": " + ec.message();
      log::error(message);
      throw ConnectionFailedError(message);
    }
  }
  host_ = host;
  port_ = port;
  lastMotorOnError_.clear();
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
        throw ConnectionFailedError("Epson Remote Ethernet login failed after " +
                                    std::to_string(kConnectAttempts) + " attempts: " + e.what());
      }
      log::error("Epson Remote Ethernet login attempt " + std::to_string(attempt) +
                 " failed; retrying in " + std::to_string(kRetryPause.count()) + " seconds");
      std::this_thread::sleep_for(kRetryPause);
    }
  }
  // The password lives only in the login line; do not keep it beyond the session set-up.
  lastCommand_ = protocol::shownCommand(login);
  log::info("Connected to " + where);
}

void Brevacon::Impl::disconnect() {
  SessionGuard session(sessionMutex_);
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
  error_code close_error;
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(close_error);
  }
  connected_ = false;
  loggedIn_ = false;
  motorsOn_ = false;
  if (close_error) {
    const std::string message = "Failed to disconnect: " + close_error.message();
    log::error(message);
    throw std::runtime_error(message);
  }
  log::info("Disconnected from " + protocol::escapeText(host_) + ":" + std::to_string(port_));
}

}  // namespace epson
