#include <epson/tandrel.h>

#include <array>
#include <cstddef>
#include <stdexcept>

#include "disconnect_report.h"

namespace epson {

namespace {

// The built-in Remote Ethernet login of the combined interface. It is computed at run time, each
// stored byte XORed with its mask byte, so that it never appears as a literal in the binary;
// nothing returns or prints it.
std::string builtInPassword() {
  static constexpr std::array<unsigned char, 3> kMasked = {0x2b, 0x6d, 0x1c};
  static constexpr std::array<unsigned char, 3> kMask = {0x6a, 0x5e, 0x48};
  std::string password;
  password.reserve(kMasked.size());
  for (std::size_t i = 0; i < kMasked.size(); ++i) {
    password.push_back(static_cast<char>(kMasked[i] ^ kMask[i]));
  }
  return password;
}

}  // namespace

Tandrel::Tandrel(const std::string& host, std::uint16_t control_port, std::uint16_t receive_port,
                 const ConnectOptions& connect_options, const std::optional<std::string>& password)
    : control_(std::make_shared<Brevacon>()),
      receive_(std::make_shared<EthernetReceiveInterface>()),
      password_(password ? *password : builtInPassword()) {
  try {
    // Kept for the Tandrel's life, as password_ is: the with block of the Python module makes
    // the motors safe with them after a lost session.
    control_->keepCredentials(true);
    control_->connect(host, control_port, password_, connect_options);
    if (!control_->isLoggedIn()) {
      throw ConnectionFailedError(
          "Epson Remote Ethernet login was not confirmed; motors were not enabled");
    }
    receive_->connect(host, receive_port);
  } catch (...) {
    disconnectAfterFailedConnect();
    throw;
  }
}

Tandrel::~Tandrel() { disconnectAfterFailedConnect(); }

std::shared_ptr<Brevacon> Tandrel::getControlInterface() const { return control_; }

std::shared_ptr<EthernetReceiveInterface> Tandrel::getReceiveInterface() const { return receive_; }

bool Tandrel::isConnected() const { return control_->isConnected() && receive_->isConnected(); }

void Tandrel::disconnect() {
  std::string receive_error;
  std::string control_error;
  try {
    receive_->disconnect();
  } catch (const std::exception& e) {
    receive_error = e.what();
  }
  try {
    control_->disconnect();
  } catch (const std::exception& e) {
    control_error = e.what();
  }
  const std::string message = combineDisconnectErrors(receive_error, control_error);
  if (!message.empty()) throw std::runtime_error(message);
}

void Tandrel::disconnectAfterFailedConnect() noexcept {
  try {
    receive_->disconnect();
  } catch (...) {
    // Cleanup path: the error that brought us here, if any, is the one to report.
  }
  try {
    control_->disconnect();
  } catch (...) {
  }
}

}  // namespace epson
