#include <epson/ethernet_receive_interface.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_controller.h"
#include "telemetry_peer.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::FakeTelemetryServer;
using test::StallingListener;
using test::threadCount;
using Clock = std::chrono::steady_clock;

constexpr const char* kReadinessMessage =
    "Connected to the Epson telemetry port, but no complete six-axis sample was received within "
    "2 seconds. Check that the controller Background Task is running and continuously writing "
    "all X-W and J1-J6 angle fields.";

// A full sample whose X is `x`; the other values are fixed.
std::string sample(double x, const char* end = "\r") {
  return "X=" + std::to_string(x) +
         ";Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16" + end;
}

std::string statusPacket(int stat, int ctrl_info = 0) {
  return "STAT=" + std::to_string(stat) +
         ";SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=" + std::to_string(ctrl_info) + "\r";
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3s) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Every way connect() fails is a ConnectionFailedError; another exception fails the test.
std::string connectError(EthernetReceiveInterface& receiver, std::uint16_t port) {
  try {
    receiver.connect("127.0.0.1", port);
  } catch (const ConnectionFailedError& e) {
    return e.what();
  }
  return "<no exception>";
}

// Connects while a helper thread pushes `first` once the server has accepted (after `delay`).
// Returns when the push was made.
Clock::time_point connectWith(EthernetReceiveInterface& receiver, FakeTelemetryServer& server,
                              const std::string& first,
                              std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
  const int wanted = server.connections() + 1;
  Clock::time_point pushed{};
  std::thread pusher([&] {
    if (!server.waitForConnections(wanted)) return;
    std::this_thread::sleep_for(delay);
    pushed = Clock::now();
    if (!first.empty()) server.push(first);
  });
  try {
    receiver.connect("127.0.0.1", server.port());
  } catch (...) {
    pusher.join();
    throw;
  }
  pusher.join();
  return pushed;
}

std::string connectWithError(EthernetReceiveInterface& receiver, FakeTelemetryServer& server,
                             const std::string& first) {
  try {
    connectWith(receiver, server, first);
  } catch (const ConnectionFailedError& e) {
    return e.what();
  }
  return "<no exception>";
}

// --- Readiness ------------------------------------------------------------------------------

TEST(ReceiverReadiness, ReturnsWhenFirstSampleArrivesNotAtDeadline) {
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
  const auto start = Clock::now();
  const auto pushed = connectWith(receiver, server, sample(1), 800ms);
  const auto returned = Clock::now();
  const double elapsed = std::chrono::duration<double>(returned - start).count();
  EXPECT_GT(elapsed, 0.75);
  EXPECT_LT(elapsed, 1.5);
  EXPECT_TRUE(receiver.isConnected());
  EXPECT_EQ(receiver.getSample().pose[0], 1.0);
  const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(returned - pushed);
  std::cout << "readiness latency after first sample: " << latency.count() << " us\n";
  RecordProperty("readiness_latency_us", static_cast<int>(latency.count()));
}

struct NotReadyCase {
  const char* name;
  std::string greeting;
};

class ReceiverNotReadyTest : public ::testing::TestWithParam<NotReadyCase> {};

TEST_P(ReceiverNotReadyTest, FailsAfterTwoSecondsAndLeavesNoThread) {
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
  const int threads_before = threadCount();
  const auto start = Clock::now();
  EXPECT_EQ(connectWithError(receiver, server, GetParam().greeting), kReadinessMessage);
  const double elapsed = secondsSince(start);
  EXPECT_GT(elapsed, 1.95);
  EXPECT_LT(elapsed, 3.0);
  EXPECT_FALSE(receiver.isConnected());
  EXPECT_FALSE(receiver.hasSample());
  EXPECT_EQ(threadCount(), threads_before);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, ReceiverNotReadyTest,
    ::testing::Values(NotReadyCase{"Silent", ""},
                      NotReadyCase{"PoseOnly", "X=1;Y=2;Z=3;U=4;V=5;W=6\r"},
                      NotReadyCase{"NoTerminator", sample(1, "")},
                      NotReadyCase{"StatusCarryingSampleFields",
                                   "STAT=0;" + sample(1).substr(0, sample(1).size() - 1) + "\r"},
                      // "X" restarts the collection, so the joints before it do not count.
                      NotReadyCase{"RestartedByX",
                                   "J1agl=1;J2agl=2;J3agl=3;J4agl=4;J5agl=5;J6agl=6\r"
                                   "X=1;Y=2;Z=3;U=4;V=5;W=6\r"}),
    [](const ::testing::TestParamInfo<NotReadyCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(ReceiverReadiness, DisconnectFromAnotherThreadEndsTheWaitAtOnce) {
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    receiver.disconnect();
  });
  const auto start = Clock::now();
  EXPECT_EQ(connectError(receiver, server.port()), kReadinessMessage);
  EXPECT_LT(secondsSince(start), 1.0);
  stopper.join();
  EXPECT_FALSE(receiver.isConnected());
}

// --- Connection failures ----------------------------------------------------------------------

TEST(ReceiverConnect, RefusedPortThrowsConnectionMessage) {
  test::RefusingPort refusing;
  const std::uint16_t port = refusing.port();
  EthernetReceiveInterface receiver;
  const int threads_before = threadCount();
  EXPECT_EQ(connectError(receiver, port), "Failed to connect to Epson telemetry at 127.0.0.1:" +
                                              std::to_string(port) + ": Connection refused");
  EXPECT_FALSE(receiver.isConnected());
  EXPECT_EQ(threadCount(), threads_before);
  receiver.disconnect();
}

TEST(ReceiverConnect, AttemptAgainstFullBacklogIsBounded) {
  test::NeverAcceptingListener peer;
  EthernetReceiveInterface receiver;
  const auto start = Clock::now();
  const std::string error = connectError(receiver, peer.port());
  const double elapsed = secondsSince(start);
  EXPECT_EQ(error, "Failed to connect to Epson telemetry at 127.0.0.1:" +
                       std::to_string(peer.port()) + ": Connection timed out");
  EXPECT_GT(elapsed, 1.9);
  EXPECT_LT(elapsed, 3.0);
}

TEST(ReceiverConnect, DisconnectInterruptsAHangingConnectAttempt) {
  test::NeverAcceptingListener peer;
  EthernetReceiveInterface receiver;
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    receiver.disconnect();
  });
  const auto start = Clock::now();
  const std::string error = connectError(receiver, peer.port());
  EXPECT_LT(secondsSince(start), 0.8) << error;
  EXPECT_NE(error.find("Failed to connect to Epson telemetry"), std::string::npos);
  stopper.join();
}

TEST(ReceiverConnect, DisconnectIsQuietWhenNeverConnectedAndWhenRepeated) {
  EthernetReceiveInterface receiver;
  EXPECT_NO_THROW(receiver.disconnect());
  FakeTelemetryServer server;
  connectWith(receiver, server, sample(1));
  EXPECT_NO_THROW(receiver.disconnect());
  EXPECT_NO_THROW(receiver.disconnect());
  EXPECT_FALSE(receiver.isConnected());
  EXPECT_EQ(receiver.getSample().pose[0], 1.0);
}

// --- Framing and parsing over the socket ------------------------------------------------------

// Receives the greeting sample (X = 1), then the case's segments, then a status packet whose
// arrival shows that everything before it has been parsed, then a fresh sample (X = 90) to
// show the stream is still in step.
struct StreamCase {
  const char* name;
  std::vector<std::string> segments;
  double expected_x;  // of the latest sample once the segments are parsed
};

class ReceiverStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReceiverStreamTest, ParsesInOrder) {
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
  connectWith(receiver, server, sample(1));
  ASSERT_TRUE(server.pushPieces(GetParam().segments, 20ms));
  ASSERT_TRUE(server.push(statusPacket(4242)));
  ASSERT_TRUE(eventually([&] {
    return receiver.hasControllerStatus() && receiver.getControllerStatus().at("stat") == 4242;
  }));
  EXPECT_EQ(receiver.getSample().pose[0], GetParam().expected_x);
  ASSERT_TRUE(server.push(sample(90)));
  EXPECT_TRUE(eventually([&] { return receiver.getSample().pose[0] == 90.0; }));
  EXPECT_TRUE(receiver.isConnected());
}

const std::string kPose70 = "X=70;Y=2;Z=3;U=4;V=5;W=6\r";
const std::string kJoints = "J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r";

INSTANTIATE_TEST_SUITE_P(
    Streams, ReceiverStreamTest,
    ::testing::Values(
        StreamCase{"TwoPacketsInOneSegment", {kPose70 + kJoints}, 70},
        StreamCase{"PacketSplitAcrossSegments",
                   {"X=70;Y=2;Z", "=3;U=4;V=5;W=6\rJ1agl=11;",
                    "J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r"},
                   70},
        StreamCase{"CrLfLineEnds", {sample(70, "\r\n")}, 70},
        StreamCase{
            "StatusBetweenSplitSampleKeepsPendingFields", {kPose70, statusPacket(1), kJoints}, 70},
        StreamCase{"BadValueDropsPacketAndPendingFields", {kPose70, "J1agl=abc\r", kJoints}, 1},
        StreamCase{"NanStatusDropsPacketAndPendingFields",
                   {kPose70, "STAT=nan;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0\r", kJoints},
                   1},
        StreamCase{"StatusBeyondInt64DropsPacketAndPendingFields",
                   {kPose70, "STAT=1e19;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0\r", kJoints},
                   1},
        StreamCase{"StatusWithoutCtrlInfoChangesNothing",
                   {"STAT=9;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;" + sample(70)},
                   1},
        StreamCase{"EmptyAndSeparatorOnlyPackets", {"\r;\r\r\n"}, 1},
        // 70 000 bytes without a carriage return: dropped up to the next one, so the sample
        // that ends the oversized packet is not parsed.
        StreamCase{"OversizedPacketDroppedUntilNextCr",
                   {std::string(70000, 'A'), sample(70), sample(80)},
                   80}),

    [](const ::testing::TestParamInfo<StreamCase>& param_info) {
      return std::string(param_info.param.name);
    });

// --- Reconnection ---------------------------------------------------------------------------

TEST(ReceiverReconnect, RidesOutAClosedConnection) {
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
  connectWith(receiver, server, sample(1));

  server.closeConnection();
  const auto closed = Clock::now();
  ASSERT_TRUE(eventually([&] { return !receiver.isConnected(); }, 500ms));
  EXPECT_TRUE(receiver.hasSample());
  EXPECT_EQ(receiver.getSample().pose[0], 1.0);
  const double age = receiver.sampleAgeSeconds();
  std::this_thread::sleep_for(100ms);
  EXPECT_GT(receiver.sampleAgeSeconds(), age + 0.09);

  ASSERT_TRUE(eventually([&] { return receiver.isConnected(); }, 2500ms));
  const double reconnect_seconds = secondsSince(closed);
  std::cout << "reconnection time after close: " << reconnect_seconds << " s\n";
  EXPECT_GT(reconnect_seconds, 0.9);
  EXPECT_LT(reconnect_seconds, 2.0);
  ASSERT_TRUE(server.waitForConnections(2));
  ASSERT_TRUE(server.push(sample(7)));
  EXPECT_TRUE(eventually([&] { return receiver.getSample().pose[0] == 7.0; }));
  EXPECT_EQ(server.connections(), 2);
}

TEST(ReceiverReconnect, DisconnectDuringReconnectAttemptReturnsPromptly) {
  StallingListener listener(sample(1));
  EthernetReceiveInterface receiver;
  receiver.connect("127.0.0.1", listener.port());
  listener.stall();
  // After the 1 s pause the receive thread is inside an attempt that nobody answers.
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(receiver.isConnected());
  const auto start = Clock::now();
  receiver.disconnect();
  EXPECT_LT(secondsSince(start), 0.5);
}

TEST(ReceiverReconnect, DestructorDuringPauseReturnsPromptly) {
  FakeTelemetryServer server;
  const int threads_before = threadCount();
  Clock::time_point start;
  {
    EthernetReceiveInterface receiver;
    connectWith(receiver, server, sample(1));
    server.closeConnection();
    ASSERT_TRUE(eventually([&] { return !receiver.isConnected(); }, 500ms));
    start = Clock::now();
  }
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_EQ(threadCount(), threads_before);
}

TEST(ReceiverReconnect, ConnectAgainClearsFlagsButKeepsWorking) {
  FakeTelemetryServer first;
  FakeTelemetryServer second;
  EthernetReceiveInterface receiver;
  connectWith(receiver, first, sample(1));
  ASSERT_TRUE(first.push(statusPacket(5)));
  ASSERT_TRUE(eventually([&] { return receiver.hasControllerStatus(); }));
  std::thread reader([&] {
    // While the second connect waits, the old values are hidden behind cleared flags.
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(receiver.hasSample());
    EXPECT_TRUE(std::isinf(receiver.sampleAgeSeconds()));
  });
  connectWith(receiver, second, "STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0\r" + sample(2),
              300ms);
  reader.join();
  EXPECT_EQ(receiver.getSample().pose[0], 2.0);
}

}  // namespace
}  // namespace epson
