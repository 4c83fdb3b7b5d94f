#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <epson/brevacon.h>
#include <epson/ethernet_receive_interface.h>
#include <epson/export.h>

namespace epson {

// The command and telemetry connections of one controller, opened and closed as one unit.
//
// The constructor logs in (with the given password, else a built-in credential), verifies the
// login and then opens telemetry; any failure closes both before the error propagates, so a
// Tandrel only exists connected. The two clients are shared: they may outlive the Tandrel. No
// lock of its own; the clients' own rules apply to their use from several threads.
class EPSON_API Tandrel {
 public:
  // `connect_options` bound the command connection as in Brevacon::connect(). `password` is the
  // controller's Remote Ethernet password; std::nullopt keeps the built-in credential. Either
  // is shown redacted in every message, as Brevacon::connect() shows its password. Throws the
  // first error met: std::invalid_argument for connect_options out of range or a password
  // holding a line ending (nothing is opened), ConnectionFailedError when a connection or the
  // login cannot be made, ControllerError when the controller refuses the login (see
  // <epson/errors.h>).
  explicit Tandrel(const std::string& host, std::uint16_t control_port = Brevacon::kDefaultPort,
                   std::uint16_t receive_port = EthernetReceiveInterface::kDefaultPort,
                   const ConnectOptions& connect_options = ConnectOptions(),
                   const std::optional<std::string>& password = std::nullopt);
  // Closes both quietly.
  ~Tandrel();
  Tandrel(const Tandrel&) = delete;
  Tandrel& operator=(const Tandrel&) = delete;

  std::shared_ptr<Brevacon> getControlInterface() const;
  std::shared_ptr<EthernetReceiveInterface> getReceiveInterface() const;
  // True only while both the command client and the receiver are connected.
  bool isConnected() const;
  // Stops telemetry, then disconnects the command client (restore, motors off, logout).
  // Throws std::runtime_error naming the interface(s) that failed.
  void disconnect();

 private:
  void disconnectAfterFailedConnect() noexcept;

  std::shared_ptr<Brevacon> control_;
  std::shared_ptr<EthernetReceiveInterface> receive_;
  std::string password_;
};

}  // namespace epson
