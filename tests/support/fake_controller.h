#pragma once

// Scripted loopback peers for the protocol tests.
//
// FakeController stands in for the controller's Remote Ethernet command port. A test scripts it
// step by step and then drives a Brevacon against port():
//
//   epson::test::FakeController fake;
//   fake.login("pw").respond("$Execute,\"Reset\"", "#Execute").logout().expectClose();
//   epson::Brevacon robot;
//   robot.connect("127.0.0.1", fake.port(), "pw");
//   robot.resetController();
//   robot.disconnect();
//   fake.verify();  // or let the destructor do it
//
// Every line the client sends is recorded with its arrival time (lines()) and goes to an inbox
// that expect steps consume in order. A line that no step consumed by the end, a line that differs
// from the expected one, a line not ended by CR LF, or a step that never ran fails the test
// (ADD_FAILURE) in verify() or in the destructor.
//
// Connections: the first step that needs a connection accepts one. close() ends it from this side,
// expectClose() and silence() wait until the client ends it; the next step that needs a
// connection then accepts the next one (a retrying client). connections() counts the accepted ones.
//
// NeverAcceptingListener and RefusingPort give the two kinds of dead peer a connect can meet, both
// on loopback. FakeTelemetryServer (at the end) pushes telemetry bytes to a receiver.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace epson::test {

using Clock = std::chrono::steady_clock;

// One line as the client sent it: the text without its CR LF, and when it arrived.
struct ReceivedLine {
  std::string text;
  Clock::time_point arrival;
  int connection = 0;  // 1 for the first accepted connection, 2 for the next, ...
};

// Reply stored under `name` in tests/canned_replies.txt (the table the Python fake reads too),
// with its escapes decoded. An unknown name fails the test and gives the empty text.
std::string canned(const std::string& name);

// what() of the exception of type E that f() throws, so that a test can compare a whole message
// with EXPECT_EQ; "<no exception>" when f() returns, "<exception of another type>" otherwise.
template <typename E = std::exception, typename F>
std::string thrownText(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (...) {
    return "<exception of another type>";
  }
  return "<no exception>";
}

class FakeController {
 public:
  // Listens on 127.0.0.1 with an ephemeral port and starts the script thread.
  FakeController();
  // Calls verify() unless the test already did.
  ~FakeController();
  FakeController(const FakeController&) = delete;
  FakeController& operator=(const FakeController&) = delete;

  std::uint16_t port() const;

  // --- Script steps: appended in order, run on the fake's thread; each returns *this. ---------
  // Steps may be appended while the script runs.

  // The next received line must equal `line` (otherwise "unexpected line" is recorded).
  FakeController& expect(const std::string& line);
  // The next received line must begin with `prefix` (a login whose password is not known).
  FakeController& expectPrefix(const std::string& prefix);
  // Sends `text` + "\r\n".
  FakeController& reply(const std::string& text);
  // Sends `raw` unchanged in one write: several replies in one segment, partial lines.
  FakeController& send(const std::string& raw);
  // expect(line), then reply(reply_text).
  FakeController& respond(const std::string& line, const std::string& reply_text);
  // Pauses the script; lines still arrive and are timed meanwhile.
  FakeController& wait(std::chrono::milliseconds delay);
  // Receives and accepts every line of this connection but never answers, until the client
  // closes it. Counts as run once it starts, so waitUntilDone() does not wait for the close.
  FakeController& silence();
  // Stops reading the connection, so the client's writes back up, until the client closes it.
  // Counts as run once it starts.
  FakeController& stopReading();
  // Closes the connection from this side (the client reads end of file).
  FakeController& close();
  // Aborts the connection with a reset: the client's next read or write fails.
  FakeController& reset();
  // Waits until the client closes the connection; lines arriving meanwhile stay unexpected.
  FakeController& expectClose();
  // "$GetStatus" lines, the client's heartbeat during a motion, are answered at once with
  // `reply`, beside the script, and kept out of lines() and the inbox; a silence() step swallows
  // them unanswered. With none they are ordinary lines. By default "#GetStatus,00100000011,0000".
  FakeController& answerHeartbeats(std::optional<std::string> reply);
  // expect("$Login," + password) and reply "#Login".
  FakeController& login(const std::string& password = "");
  // expect("$Logout") and reply "#Logout".
  FakeController& logout();

  // --- Observation (any thread) ------------------------------------------------------------
  std::vector<ReceivedLine> lines() const;
  std::vector<std::string> texts() const;
  // Arrival times of the heartbeats handled beside the script.
  std::vector<Clock::time_point> heartbeats() const;
  int connections() const;
  // True once at least `count` lines have arrived; false when `timeout` passes first.
  bool waitForLines(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // True once every step appended so far has run.
  bool waitUntilDone(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Gives the script up to 3 s to finish, stops it, closes the sockets and reports every
  // recorded problem, every step that did not run and every unconsumed line with ADD_FAILURE.
  // Runs once; later calls do nothing.
  void verify();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// A loopback listener with backlog 1 that never accepts and whose accept queue is already full:
// a connect to port() stays unanswered (the kernel drops its SYN) until the client gives up.
class NeverAcceptingListener {
 public:
  NeverAcceptingListener();
  ~NeverAcceptingListener();
  NeverAcceptingListener(const NeverAcceptingListener&) = delete;
  NeverAcceptingListener& operator=(const NeverAcceptingListener&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1;
  std::vector<int> queued_fds_;
  std::uint16_t port_ = 0;
};

// A loopback port bound but not listening, held for the object's life so no other test takes
// it: a connect to port() is refused at once.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Pushes telemetry bytes to a receiver that connects to port() on 127.0.0.1. It accepts in the
// background any number of times; a new connection replaces the current one, as a receiver that
// reconnects expects. The test decides what to push and when:
//
//   epson::test::FakeTelemetryServer server;
//   receiver.connect("127.0.0.1", server.port());   // in another thread, or after pushing
//   ASSERT_TRUE(server.waitForConnections(1));
//   server.push(packet + "\r");                     // whole packets, several in one write
//   server.pushPieces({half, rest}, 50ms);           // one packet split across segments
//   server.closeConnection();                        // the receiver reconnects
//   ASSERT_TRUE(server.waitForConnections(2));
class FakeTelemetryServer {
 public:
  // Listens on 127.0.0.1 with an ephemeral port and starts accepting.
  FakeTelemetryServer();
  ~FakeTelemetryServer();
  FakeTelemetryServer(const FakeTelemetryServer&) = delete;
  FakeTelemetryServer& operator=(const FakeTelemetryServer&) = delete;

  std::uint16_t port() const;
  // Connections accepted so far.
  int connections() const;
  // True while a client is connected and has not closed its end.
  bool connected() const;
  // True once at least `count` connections have been accepted.
  bool waitForConnections(int count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // True once no client is connected (it closed its end, or closeConnection() ran).
  bool waitForDisconnect(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // Sends `bytes` unchanged in one write on the current connection (one segment on loopback).
  // False when no client is connected or the write fails.
  bool push(const std::string& bytes);
  // Sends each piece in its own write, `gap` apart. False as soon as one write fails.
  bool pushPieces(const std::vector<std::string>& pieces, std::chrono::milliseconds gap);
  // Closes the current connection from this side (the client reads end of file).
  void closeConnection();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson::test
