#include <epson/tandrel.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "disconnect_report.h"
#include "fake_controller.h"
#include "telemetry_peer.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::FakeController;
using test::FakeTelemetryServer;
using test::PeriodicPusher;
using test::threadCount;
using test::thrownText;
using Clock = std::chrono::steady_clock;

const std::string kSample =
    "X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r";

bool eventually(bool (Tandrel::*query)() const, const Tandrel& tandrel, bool wanted,
                std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while ((tandrel.*query)() != wanted) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(TandrelSession, OpensBothWithBuiltInLoginAndClosesReceiverFirst) {
  FakeController fake;
  fake.expectPrefix("$Login,").reply("#Login").logout().expectClose();
  FakeTelemetryServer server;
  PeriodicPusher pusher(server, kSample);
  std::shared_ptr<Brevacon> control;
  std::shared_ptr<EthernetReceiveInterface> receive;
  {
    Tandrel tandrel("127.0.0.1", fake.port(), server.port());
    EXPECT_TRUE(tandrel.isConnected());
    control = tandrel.getControlInterface();
    receive = tandrel.getReceiveInterface();
    EXPECT_EQ(control, tandrel.getControlInterface());
    EXPECT_TRUE(control->isLoggedIn());
    EXPECT_EQ(receive->getSample().joints[5], 16.0);

    const std::string login = fake.texts().at(0);
    const std::string password = login.substr(std::string("$Login,").size());
    ASSERT_EQ(password.size(), 3U);
    for (char c : password) EXPECT_TRUE(std::isprint(static_cast<unsigned char>(c))) << login;

    tandrel.disconnect();
    EXPECT_FALSE(tandrel.isConnected());
    EXPECT_FALSE(receive->isConnected());
    // A second disconnect repeats both calls; neither has anything left to do.
    EXPECT_NO_THROW(tandrel.disconnect());
  }
  fake.verify();
  // The clients outlive the Tandrel, disconnected, with the last sample readable.
  EXPECT_FALSE(control->isConnected());
  EXPECT_EQ(receive->getSample().pose[0], 1.0);
}

TEST(TandrelSession, IsConnectedFollowsTelemetryReconnection) {
  FakeController fake;
  fake.expectPrefix("$Login,").reply("#Login").logout().expectClose();
  FakeTelemetryServer server;
  PeriodicPusher pusher(server, kSample);
  Tandrel tandrel("127.0.0.1", fake.port(), server.port());
  server.closeConnection();
  EXPECT_TRUE(eventually(&Tandrel::isConnected, tandrel, false, 500ms));
  EXPECT_TRUE(eventually(&Tandrel::isConnected, tandrel, true, 2500ms));
  tandrel.disconnect();
}

TEST(TandrelSession, DestructorLogsOutQuietly) {
  FakeTelemetryServer server;
  PeriodicPusher pusher(server, kSample);
  // Counted before the fake starts, since verify() ends the fake's own threads.
  const int threads_before = threadCount();
  FakeController fake;
  fake.expectPrefix("$Login,").reply("#Login").logout().expectClose();
  { Tandrel tandrel("127.0.0.1", fake.port(), server.port()); }
  fake.verify();
  EXPECT_EQ(threadCount(), threads_before);
}

// --- Failure paths: both clients closed, no thread left -----------------------------------

// Also shows that the connect options reach the command client: two attempts, not three.
TEST(TandrelFailure, CommandPortRefusedNeverOpensTelemetry) {
  test::RefusingPort refusing;
  FakeTelemetryServer server;
  PeriodicPusher pusher(server, kSample);
  const int threads_before = threadCount();
  const std::string prefix = "127.0.0.1:" + std::to_string(refusing.port());
  ConnectOptions options;
  options.attempts = 2;
  options.retry_pause = 100ms;
  testing::internal::CaptureStderr();
  EXPECT_EQ(thrownText<std::runtime_error>(
                [&] { Tandrel tandrel("127.0.0.1", refusing.port(), server.port(), options); }),
            "Epson Remote Ethernet login failed after 2 attempts: Failed to connect to " + prefix +
                ": Connection refused");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Epson Remote Ethernet login attempt 1 failed; retrying in 0.1 seconds\n");
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(threadCount(), threads_before);
}

TEST(TandrelFailure, RejectedLoginNeverOpensTelemetryAndHidesPassword) {
  FakeTelemetryServer server;
  PeriodicPusher pusher(server, kSample);
  const int threads_before = threadCount();
  FakeController fake;
  fake.expectPrefix("$Login,").reply("!Login,11").expectClose();
  const std::string error = thrownText<std::runtime_error>(
      [&] { Tandrel tandrel("127.0.0.1", fake.port(), server.port()); });
  fake.verify();
  EXPECT_EQ(error.rfind("Remote command failed: ", 0), 0U) << error;
  EXPECT_NE(error.find("$Login,<redacted>"), std::string::npos) << error;
  const std::string login = fake.texts().at(0);
  EXPECT_EQ(error.find(login), std::string::npos) << error;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(threadCount(), threads_before);
}

TEST(TandrelFailure, GivenPasswordIsTheLoginAndIsNeverShown) {
  FakeTelemetryServer server;
  PeriodicPusher pusher(server, kSample);
  {
    FakeController fake;
    fake.expect("$Login,s3cret").reply("#Login").logout().expectClose();
    Tandrel tandrel("127.0.0.1", fake.port(), server.port(), ConnectOptions(), "s3cret");
    EXPECT_TRUE(tandrel.isConnected());
    tandrel.disconnect();
    fake.verify();
  }
  FakeController fake;
  fake.expect("$Login,s3cret").reply("!Login,13").expectClose();
  try {
    Tandrel tandrel("127.0.0.1", fake.port(), server.port(), ConnectOptions(), "s3cret");
    ADD_FAILURE() << "the refused login did not throw";
  } catch (const ControllerError& e) {
    EXPECT_EQ(e.code().value_or(0), 13);
    EXPECT_EQ(e.command(), "$Login,<redacted>");
    EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
  }
  fake.verify();
  EXPECT_EQ(server.connections(), 1);  // only the session that logged in opened telemetry
}

TEST(TandrelFailure, MissingTelemetryLogsOutAfterReadinessTimeout) {
  FakeTelemetryServer silent;
  const int threads_before = threadCount();
  FakeController fake;
  fake.expectPrefix("$Login,").reply("#Login").logout().expectClose();
  const std::string error = thrownText<std::runtime_error>(
      [&] { Tandrel tandrel("127.0.0.1", fake.port(), silent.port()); });
  const auto failed = Clock::now();
  fake.verify();
  EXPECT_EQ(error,
            "Connected to the Epson telemetry port, but no complete six-axis sample was received "
            "within 2 seconds. Check that the controller Background Task is running and "
            "continuously writing all X-W and J1-J6 angle fields.");
  const auto lines = fake.lines();
  ASSERT_EQ(lines.size(), 2U);
  const double waited = std::chrono::duration<double>(lines[1].arrival - lines[0].arrival).count();
  EXPECT_GT(waited, 1.95);
  EXPECT_LT(waited, 3.0);
  EXPECT_LE(lines[1].arrival, failed);  // logged out before the error reached the caller
  EXPECT_EQ(silent.connections(), 1);
  EXPECT_EQ(threadCount(), threads_before);
}

// --- Combined disconnect report -------------------------------------------------------------

struct ReportCase {
  const char* name;
  const char* receive_error;
  const char* control_error;
  const char* expected;
};

class DisconnectReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(DisconnectReportTest, NamesTheFailedInterfaces) {
  EXPECT_EQ(combineDisconnectErrors(GetParam().receive_error, GetParam().control_error),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, DisconnectReportTest,
    ::testing::Values(
        ReportCase{"NoFailure", "", "", ""},
        ReportCase{"ReceiverOnly", "r", "", "Failed to disconnect Epson receive interface: r"},
        ReportCase{"ControlOnly", "", "Failed to disconnect: Bad file descriptor",
                   "Failed to disconnect Epson control interface: Failed to disconnect: Bad file "
                   "descriptor"},
        ReportCase{"Both", "r", "c",
                   "Failed to disconnect both Epson interfaces: receive error: r; control error: "
                   "c"}),
    [](const ::testing::TestParamInfo<ReportCase>& param_info) {
      return std::string(param_info.param.name);
    });

}  // namespace
}  // namespace epson
