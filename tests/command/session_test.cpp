// Brevacon's session against the scripted fake controller: login, retries, logout and the lines
// written to standard output and standard error.

#include <epson/brevacon.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_controller.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::canned;
using test::Clock;
using test::FakeController;
using test::thrownText;

constexpr const char* kHost = "127.0.0.1";
const std::string kMotorOn = "$Execute,\"Motor On\"";
const std::string kMotorOff = "$Execute,\"Motor Off\"";
const std::string kRedactedLogin = "$Login,<redacted>";

std::string where(std::uint16_t port) { return std::string(kHost) + ":" + std::to_string(port); }

std::string retryLine(int attempt, const std::string& seconds = "2") {
  return "Epson Remote Ethernet login attempt " + std::to_string(attempt) +
         " failed; retrying in " + seconds + " seconds\n";
}

// Short deadlines for the cases whose subject is not the defaults' length.
ConnectOptions options(
    int attempts, std::chrono::milliseconds retry_pause,
    std::chrono::milliseconds attempt_timeout = Brevacon::kConnectAttemptTimeout) {
  ConnectOptions chosen;
  chosen.attempts = attempts;
  chosen.retry_pause = retry_pause;
  chosen.attempt_timeout = attempt_timeout;
  return chosen;
}

// What the driver writes to standard output and standard error while f() runs; f must not throw.
struct Output {
  std::string out;
  std::string err;
};

template <typename F>
Output captured(F&& f) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  f();
  Output output;
  output.out = testing::internal::GetCapturedStdout();
  output.err = testing::internal::GetCapturedStderr();
  return output;
}

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

TEST(Session, ConnectLogsInAndDisconnectLogsOutInOrder) {
  FakeController fake;
  fake.login("secret").logout().expectClose();
  Brevacon robot;
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isLoggedIn());

  const auto up = captured([&] { robot.connect(kHost, fake.port(), "secret"); });
  EXPECT_EQ(up.out, "Connected to " + where(fake.port()) + "\n");
  EXPECT_EQ(up.err, "");
  EXPECT_TRUE(robot.isConnected());
  EXPECT_TRUE(robot.isLoggedIn());

  const auto down = captured([&] { robot.disconnect(); });
  EXPECT_EQ(down.out, "Disconnected from " + where(fake.port()) + "\n");
  EXPECT_EQ(down.err, "");
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isLoggedIn());

  fake.verify();
  EXPECT_EQ(fake.texts(), (std::vector<std::string>{"$Login,secret", "$Logout"}));
  EXPECT_EQ(fake.connections(), 1);
}

TEST(Session, DefaultPasswordIsEmptyAndHostNamesResolve) {
  FakeController fake;
  fake.login("").logout().expectClose();
  Brevacon robot;
  const auto up = captured([&] { robot.connect("localhost", fake.port()); });
  EXPECT_EQ(up.out, "Connected to localhost:" + std::to_string(fake.port()) + "\n");
  EXPECT_TRUE(robot.isLoggedIn());
  robot.disconnect();
  EXPECT_EQ(Brevacon::kDefaultPort, 5000);
}

TEST(Session, DisconnectIsQuietWithoutSession) {
  Brevacon fresh;
  const auto never_connected = captured([&] { EXPECT_NO_THROW(fresh.disconnect()); });
  EXPECT_EQ(never_connected.out, "");
  EXPECT_EQ(never_connected.err, "");

  FakeController fake;
  fake.login().logout().expectClose();
  Brevacon robot;
  robot.connect(kHost, fake.port());
  const auto first = captured([&] { robot.disconnect(); });
  const auto second = captured([&] { EXPECT_NO_THROW(robot.disconnect()); });
  EXPECT_EQ(first.out, "Disconnected from " + where(fake.port()) + "\n");
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
}

struct Rejection {
  std::string reply;
  std::string message;
};

class LoginRejection : public testing::TestWithParam<Rejection> {};

TEST_P(LoginRejection, ThrowsOnWrongPasswordWithoutRetry) {
  FakeController fake;
  fake.expect("$Login,hunter2").reply(GetParam().reply).expectClose();
  Brevacon robot;
  std::string text;
  const auto output = captured([&] {
    text = thrownText<ControllerError>([&] { robot.connect(kHost, fake.port(), "hunter2"); });
  });
  EXPECT_EQ(text, GetParam().message);
  EXPECT_EQ(text.find("hunter2"), std::string::npos);
  EXPECT_EQ(output.err, "");  // no retry line
  EXPECT_EQ(output.out, "");
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isLoggedIn());
  fake.verify();
  EXPECT_EQ(fake.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LoginRejection,
    testing::Values(
        Rejection{canned("login_rejected"),
                  "Remote command failed: !Login,11 (command: " + kRedactedLogin + ")"},
        Rejection{"!Login,13",
                  "The Epson controller refused the password (!Login,13); check the password of "
                  "its Remote Ethernet settings"},
        Rejection{"!Login,99",
                  "Remote command failed: !Login,99 (Epson Remote Ethernet error 99: system "
                  "error or communication error; no motion error code was returned) (command: " +
                      kRedactedLogin + ")"}));

class PasswordWithLineEnding : public testing::TestWithParam<std::string> {};

TEST_P(PasswordWithLineEnding, IsRejectedBeforeAnythingIsSent) {
  FakeController fake;
  fake.login("").logout().expectClose();
  Brevacon robot;
  robot.connect(kHost, fake.port());

  const auto reconnect = [&] { robot.connect(kHost, fake.port(), GetParam()); };
  EXPECT_EQ(thrownText<std::invalid_argument>(reconnect), "password must not contain line endings");
  // Neither a new connection nor a line: the running session is untouched.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fake.connections(), 1);
  EXPECT_EQ(fake.texts(), std::vector<std::string>{"$Login,"});
  EXPECT_TRUE(robot.isLoggedIn());
  robot.disconnect();
}

INSTANTIATE_TEST_SUITE_P(Passwords, PasswordWithLineEnding,
                         testing::Values("\r", "\n", "pw\r\n$Execute,\"Motor On\"", "\rpw"));

TEST(Session, OptionsOutOfRangeAreRejectedBeforeAnythingIsSent) {
  FakeController fake;
  fake.login("").logout().expectClose();
  Brevacon robot;
  robot.connect(kHost, fake.port());

  for (const ConnectOptions& bad : {options(0, 0ms), options(1, -1ms), options(1, 0ms, 0ms),
                                    options(1, 0ms, Brevacon::kMaxConnectWait + 1ms)}) {
    EXPECT_THROW(robot.connect(kHost, fake.port(), "", bad), std::invalid_argument);
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fake.connections(), 1);
  EXPECT_EQ(fake.texts(), std::vector<std::string>{"$Login,"});
  EXPECT_TRUE(robot.isLoggedIn());
  robot.disconnect();
}

TEST(Session, RetriesAfterControllerClosesDuringLogin) {
  FakeController fake;
  fake.expect("$Login,pw").close().login("pw").logout().expectClose();
  Brevacon robot;
  const auto output = captured([&] { robot.connect(kHost, fake.port(), "pw"); });
  EXPECT_EQ(output.err, retryLine(1));
  EXPECT_EQ(output.out, "Connected to " + where(fake.port()) + "\n");
  EXPECT_TRUE(robot.isLoggedIn());
  robot.disconnect();

  fake.verify();
  const auto lines = fake.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].connection, 2);
  // The fake stamps a line when it reads it, a little after the client sent it.
  EXPECT_GE(lines[1].arrival - lines[0].arrival, 1950ms);
}

TEST(Session, GivesUpAfterThreeUnansweredLogins) {
  FakeController fake;
  for (int attempt = 0; attempt < 3; ++attempt) {
    fake.expect("$Login,s3cret").expectClose();
  }
  Brevacon robot;
  const auto start = Clock::now();
  std::string text;
  const auto output = captured([&] {
    text = thrownText<std::runtime_error>(
        [&] { robot.connect(kHost, fake.port(), "s3cret", options(3, 100ms)); });
  });
  const auto elapsed = since(start);

  EXPECT_EQ(text,
            "Epson Remote Ethernet login failed after 3 attempts: Timed out waiting for an Epson "
            "Remote Ethernet response to " +
                kRedactedLogin + " after 5000 ms");
  EXPECT_EQ(output.err, retryLine(1, "0.1") + retryLine(2, "0.1"));
  EXPECT_EQ(output.out, "");
  EXPECT_FALSE(robot.isConnected());
  EXPECT_GE(elapsed, 15s);  // three 5 s login waits, which the options leave alone
  EXPECT_LT(elapsed, 19s);

  fake.verify();
  const auto lines = fake.lines();
  ASSERT_EQ(lines.size(), 3u);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_GE(lines[i].arrival - lines[i - 1].arrival, 5050ms);
    EXPECT_LT(lines[i].arrival - lines[i - 1].arrival, 6500ms);
  }
}

TEST(Session, GivesUpAfterThreeRefusedConnections) {
  test::RefusingPort refusing;
  Brevacon robot;
  const auto start = Clock::now();
  std::string text;
  const auto output = captured([&] {
    text = thrownText<ConnectionFailedError>(
        [&] { robot.connect(kHost, refusing.port(), "pw", options(3, 300ms)); });
  });
  const auto elapsed = since(start);

  EXPECT_EQ(text, "Epson Remote Ethernet login failed after 3 attempts: Failed to connect to " +
                      where(refusing.port()) + ": Connection refused");
  EXPECT_EQ(output.err, retryLine(1, "0.3") + retryLine(2, "0.3"));
  EXPECT_FALSE(robot.isConnected());
  EXPECT_GE(elapsed, 600ms);
  EXPECT_LT(elapsed, 3s);

  // One attempt: no pause, no retry line.
  const auto once = captured([&] {
    text = thrownText<ConnectionFailedError>(
        [&] { robot.connect(kHost, refusing.port(), "pw", options(1, 5s)); });
  });
  EXPECT_EQ(text, "Epson Remote Ethernet login failed after 1 attempt: Failed to connect to " +
                      where(refusing.port()) + ": Connection refused");
  EXPECT_EQ(once.err, "");
  EXPECT_LT(since(start), elapsed + 2s);
}

// Each attempt ends at its own deadline; by default that is 20 s, here 1 s.
TEST(Session, ConnectTimesOutAgainstPeerThatNeverAnswers) {
  test::NeverAcceptingListener peer;
  Brevacon robot;
  testing::internal::CaptureStderr();
  const auto start = Clock::now();
  auto result = std::async(std::launch::async, [&] {
    return thrownText<std::runtime_error>(
        [&] { robot.connect(kHost, peer.port(), "pw", options(2, 250ms, 1s)); });
  });

  std::this_thread::sleep_for(500ms);
  const auto asked = Clock::now();
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isLoggedIn());
  EXPECT_LT(since(asked), 250ms);  // the flags are read without the session lock

  const std::string text = result.get();
  const auto elapsed = since(start);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text, "Epson Remote Ethernet login failed after 2 attempts: Connection to " +
                      where(peer.port()) + " timed out");
  EXPECT_EQ(err, retryLine(1, "0.25"));
  EXPECT_GE(elapsed, 2250ms);  // two 1 s attempts, one 250 ms pause
  EXPECT_LT(elapsed, 5s);
}

TEST(Session, StateAnswersAtOnceWhileLoginWaits) {
  FakeController fake;
  fake.expect("$Login,").wait(1500ms).reply(canned("login_ok")).logout().expectClose();
  Brevacon robot;
  auto connecting = std::async(std::launch::async, [&] { robot.connect(kHost, fake.port()); });
  ASSERT_TRUE(fake.waitForLines(1));

  const auto asked = Clock::now();
  EXPECT_TRUE(robot.isConnected());  // TCP is up, the login reply is not
  EXPECT_FALSE(robot.isLoggedIn());
  EXPECT_LT(since(asked), 250ms);

  connecting.get();
  EXPECT_TRUE(robot.isLoggedIn());
  robot.disconnect();
}

TEST(Session, ReconnectDropsOldSessionWithoutLogout) {
  FakeController first;
  FakeController second;
  first.login("a")
      .respond(kMotorOn, canned("execute_ok"))
      .respond(kMotorOn, canned("execute_error_2"))
      .expectClose();
  second.login("b").logout().expectClose();  // no Motor Off: the motors-on flag is gone

  Brevacon robot;
  robot.connect(kHost, first.port(), "a");
  robot.motorOn();
  EXPECT_THROW(robot.motorOn(), std::runtime_error);
  EXPECT_NE(robot.motorOnError(), "");

  const auto up = captured([&] { robot.connect(kHost, second.port(), "b"); });
  EXPECT_EQ(up.out, "Connected to " + where(second.port()) + "\n");
  EXPECT_EQ(robot.motorOnError(), "");
  const auto down = captured([&] { robot.disconnect(); });
  EXPECT_EQ(down.out, "Disconnected from " + where(second.port()) + "\n");

  first.verify();
  EXPECT_EQ(first.texts(), (std::vector<std::string>{"$Login,a", kMotorOn, kMotorOn}));
}

class DisconnectAfterMotorOn : public testing::TestWithParam<bool> {};

TEST_P(DisconnectAfterMotorOn, SwitchesOffOnlyMotorsStillOn) {
  const bool switched_off_again = GetParam();
  FakeController fake;
  fake.login().respond(kMotorOn, canned("execute_ok"));
  if (switched_off_again) {
    fake.respond(kMotorOff, canned("execute_ok"));
  }
  Brevacon robot;
  robot.connect(kHost, fake.port());
  robot.motorOn();
  if (switched_off_again) {
    robot.motorOff();
  } else {
    fake.respond(kMotorOff, canned("execute_ok"));
  }
  fake.logout().expectClose();
  robot.disconnect();

  fake.verify();
  const std::vector<std::string> expected{"$Login,", kMotorOn, kMotorOff, "$Logout"};
  EXPECT_EQ(fake.texts(), expected);
}

INSTANTIATE_TEST_SUITE_P(MotorsOnAtDisconnect, DisconnectAfterMotorOn, testing::Bool());

TEST(Session, DisconnectReportsRejectedLogoutAndStillCloses) {
  FakeController fake;
  fake.login().respond("$Logout", canned("logout_rejected")).expectClose();
  Brevacon robot;
  robot.connect(kHost, fake.port());
  const auto output = captured([&] { EXPECT_NO_THROW(robot.disconnect()); });
  EXPECT_EQ(output.err,
            "Failed to log out of controller: Remote command failed: !Logout,10 (command: "
            "$Logout)\n");
  EXPECT_EQ(output.out, "Disconnected from " + where(fake.port()) + "\n");
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isLoggedIn());
}

TEST(Session, MotorOffTimeoutInDisconnectTearsDownBeforeLogout) {
  FakeController fake;
  fake.login().respond(kMotorOn, canned("execute_ok")).expect(kMotorOff).expectClose();
  Brevacon robot;
  robot.connect(kHost, fake.port());
  robot.motorOn();
  const auto output = captured([&] { EXPECT_NO_THROW(robot.disconnect()); });
  EXPECT_EQ(output.err,
            "Failed to turn off motor: Timed out waiting for an Epson Remote Ethernet response "
            "to " +
                kMotorOff +
                " after 5000 ms\n"
                "logout() called but not connected\n"
                "Failed to log out of controller: logout() called but not connected\n");
  EXPECT_EQ(output.out, "Disconnected from " + where(fake.port()) + "\n");
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.isLoggedIn());
}

TEST(Keepalive, KeepsEveryGapShorterThanItselfAndStopsWithDisconnect) {
  FakeController fake;  // answers $GetStatus beside the script, recording when each came
  fake.login("").respond("$Execute,\"Reset\"", "#Execute").logout().expectClose();
  Brevacon robot;
  ConnectOptions options;
  options.keepalive = 100ms;
  robot.connect(kHost, fake.port(), "", options);
  std::this_thread::sleep_for(600ms);
  const auto reset_start = Clock::now();
  robot.resetController();
  EXPECT_LT(Clock::now() - reset_start, 500ms);  // one exchange at most in its way
  std::this_thread::sleep_for(300ms);
  robot.disconnect();
  const auto stopped = Clock::now();
  std::this_thread::sleep_for(250ms);
  fake.verify();
  std::vector<Clock::time_point> lines;
  for (const auto& line : fake.lines()) lines.push_back(line.arrival);
  for (const auto& beat : fake.heartbeats()) lines.push_back(beat);
  std::sort(lines.begin(), lines.end());
  ASSERT_GE(fake.heartbeats().size(), 7U);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_LE(lines[i] - lines[i - 1], 100ms + 50ms)  // slack for sanitizers
        << "gap " << i << " of "
        << std::chrono::duration_cast<std::chrono::milliseconds>(lines[i] - lines[i - 1]).count()
        << " ms, after " << lines.size() << " lines";
  }
  EXPECT_LT(fake.heartbeats().back(), stopped);
}

TEST(Keepalive, OutOfRangeIsRefusedBeforeAnythingIsSent) {
  Brevacon robot;
  for (const auto keepalive :
       {-1ms, 1ms, 49ms, std::chrono::milliseconds(Brevacon::kMaxConnectWait) + 1ms}) {
    ConnectOptions options;
    options.keepalive = keepalive;
    EXPECT_THROW(robot.connect(kHost, 1, "", options), std::invalid_argument);
  }
}

}  // namespace
}  // namespace epson
