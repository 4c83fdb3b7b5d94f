// What an application builds on: waiting for the next sample, sequence numbers and counters, and
// a recording that keeps every row.

#include <epson/ethernet_receive_interface.h>
#include <epson/log.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_controller.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::FakeTelemetryServer;
using Clock = std::chrono::steady_clock;

std::string sample(int x) {
  return "X=" + std::to_string(x) +
         ";Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r";
}

// A receiver connected to its own server, holding sample X=1 (sequence 1).
struct Connected {
  Connected() {
    std::thread first([this] {
      if (server.waitForConnections(1)) server.push(sample(1));
    });
    receiver.connect("127.0.0.1", server.port());
    first.join();
  }
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
};

TEST(SampleWait, ReturnsTheNextSampleNeverTheOneAlreadyThere) {
  Connected c;
  auto wait = std::async(std::launch::async, [&c] { return c.receiver.waitForNextSample(2s); });
  std::this_thread::sleep_for(100ms);
  c.server.push(sample(2));
  const TelemetrySample next = wait.get();
  EXPECT_EQ(next.pose[0], 2);
  EXPECT_EQ(next.sequence, 2U);
  EXPECT_NEAR(next.host_time,
              std::chrono::duration<double>(Clock::now().time_since_epoch()).count(), 1.0);
}

TEST(SampleWait, EndsPromptlyOnDisconnectAndAfterItsTimeout) {
  Connected c;
  auto wait = std::async(std::launch::async, [&c] { c.receiver.waitForNextSample(10s); });
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  c.receiver.disconnect();
  EXPECT_THROW(wait.get(), ConnectionLostError);
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_THROW(c.receiver.waitForNextSample(1s), ConnectionLostError);  // not running

  Connected idle;
  const auto waited = Clock::now();
  EXPECT_THROW(idle.receiver.waitForNextSample(200ms), TimeoutError);
  EXPECT_GE(Clock::now() - waited, 200ms);
  // A poll function that throws ends the wait: how the Python module lets Ctrl-C in.
  EXPECT_THROW(idle.receiver.waitForNextSample(10s, [] { throw std::domain_error("interrupt"); }),
               std::domain_error);
}

TEST(SampleWait, SlowReaderGetsTheLatestAndSeesTheGap) {
  Connected c;
  c.server.push(
      sample(2) + sample(3) + sample(4) + "X=oops;Y=1\r" + "STAT=1;SYSERR=0\r" +
      "X=5;Y=2;Z=3;U=4;V=5;W=6;J1agl=nan;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=inf\r");
  const auto deadline = Clock::now() + 2s;
  while (c.receiver.counters().packets_received < 7 && Clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  const TelemetrySample latest = c.receiver.waitForSampleAfter(1, 2s);  // at once: 4 > 1
  EXPECT_EQ(latest.sequence, 4U);
  EXPECT_EQ(latest.pose[0], 4);
  const TelemetryCounters counters = c.receiver.counters();
  EXPECT_EQ(counters.samples_published, 4U);
  EXPECT_EQ(counters.packets_received, 7U);
  EXPECT_EQ(counters.packets_parsed, 6U);
  EXPECT_EQ(counters.dropped_parse_failure, 1U);
  EXPECT_EQ(counters.dropped_incomplete_status, 1U);
  EXPECT_EQ(counters.dropped_non_finite, 1U);  // never published: X=4 stays the latest
  EXPECT_EQ(c.receiver.getSample().pose[0], 4);
}

// Two consumers of one stream: one takes after every burst, one only at the end, when the ring
// holds the last kSampleRingCapacity samples of the two bursts.
TEST(SampleReaders, AFastAndASlowReaderEachGetEverySampleTheRingStillHolds) {
  Connected c;
  auto fast = c.receiver.sampleReader();
  auto slow = c.receiver.sampleReader();
  constexpr std::uint64_t kBurst = 3000;
  std::vector<std::uint64_t> fast_sequences;
  for (std::uint64_t burst = 1; burst <= 2; ++burst) {
    std::string bytes;
    for (std::uint64_t i = 0; i < kBurst; ++i) bytes += sample(static_cast<int>(i));
    c.server.push(bytes);
    const auto deadline = Clock::now() + 10s;
    while (c.receiver.counters().samples_published < 1 + burst * kBurst &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    for (const auto& taken : fast.take(2s)) fast_sequences.push_back(taken.sequence);
  }
  const std::vector<TelemetrySample> late = slow.take(2s);

  ASSERT_EQ(fast_sequences.size(), 2 * kBurst);
  EXPECT_EQ(fast_sequences.front(), 2U);  // sample 1 came before the readers
  EXPECT_EQ(fast_sequences.back(), 2 * kBurst + 1);
  EXPECT_TRUE(std::is_sorted(fast_sequences.begin(), fast_sequences.end()));
  EXPECT_EQ(fast.missed(), 0U);
  const auto capacity = EthernetReceiveInterface::kSampleRingCapacity;
  ASSERT_EQ(late.size(), capacity);
  EXPECT_EQ(late.front().sequence, 2 * kBurst + 2 - capacity);
  EXPECT_EQ(late.back().sequence, 2 * kBurst + 1);
  EXPECT_EQ(slow.missed(), 2 * kBurst - capacity);

  // Nothing new: the wait runs out empty. Once the receiver stops, the readers are told.
  EXPECT_TRUE(fast.take(20ms).empty());
  c.receiver.disconnect();
  EXPECT_THROW(slow.take(1s), ConnectionLostError);
}

TEST(Recording, KeepsEveryRowUnderLoadAndClosesOnDisconnect) {
  Connected c;
  const std::string path = testing::TempDir() + "epson_recording_test.csv";
  EXPECT_THROW(c.receiver.startRecording("/nonexistent-dir/x.csv"), std::runtime_error);
  c.receiver.startRecording(path);
  EXPECT_THROW(c.receiver.startRecording(path), std::runtime_error);
  constexpr int kBurst = 20000;
  std::string burst;
  for (int i = 2; i < 2 + kBurst; ++i) burst += sample(i);
  burst += "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=768\r";
  c.server.push(burst);
  const auto deadline = Clock::now() + 10s;
  while (c.receiver.counters().samples_published < kBurst + 1 && Clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  std::this_thread::sleep_for(50ms);  // the status packet behind the burst
  c.receiver.disconnect();            // stops the recording and closes the file
  EXPECT_FALSE(c.receiver.isRecording());

  const TelemetryCounters counters = c.receiver.counters();
  EXPECT_EQ(counters.recording_dropped, 0U);
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line.rfind("host_time,sequence,J1,", 0), 0U);
  std::uint64_t rows = 0;
  std::uint64_t next_sequence = 2;  // the recording began after sample 1
  std::string last;
  while (std::getline(file, line)) {
    ++rows;
    last = line;
    const auto first_comma = line.find(',');
    const std::string sequence =
        line.substr(first_comma + 1, line.find(',', first_comma + 1) - first_comma - 1);
    std::uint64_t value = 0;
    std::from_chars(sequence.data(), sequence.data() + sequence.size(), value);
    if (!sequence.empty()) {
      EXPECT_EQ(value, next_sequence++);
    }
  }
  EXPECT_EQ(rows, counters.recorded_rows);
  EXPECT_EQ(next_sequence, kBurst + 2U);
  EXPECT_NE(last.find(",524288,0,21,0,768"), std::string::npos) << last;
}

// Lines of a CSV file after its header.
std::vector<std::string> rowsOf(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> rows;
  std::string line;
  std::getline(file, line);
  while (std::getline(file, line)) rows.push_back(line);
  return rows;
}

template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  return done();
}

TEST(Recording, BeginsBeforeConnectGoesOnAcrossReconnectAndEndsOnlyAtDisconnect) {
  const std::string path = testing::TempDir() + "epson_recording_lifecycle.csv";
  FakeTelemetryServer server;
  EthernetReceiveInterface receiver;
  const auto first = receiver.startRecording(path);
  for (int run = 1; run <= 2; ++run) {
    std::thread feed([&server, run] {
      if (server.waitForConnections(run)) server.push(sample(run));
    });
    receiver.connect("127.0.0.1", server.port());
    feed.join();
    EXPECT_TRUE(receiver.isRecording()) << "run " << run;
    receiver.markRecording("run " + std::to_string(run), first);
  }
  ASSERT_TRUE(waitUntil([&] { return receiver.counters().recorded_rows >= 2; }));
  // The recording's counters go on across connect() with it; a new recording starts them anew.
  const std::uint64_t rows = receiver.counters().recorded_rows;
  std::thread feed([&server] {
    if (server.waitForConnections(3)) server.push(sample(3));
  });
  receiver.connect("127.0.0.1", server.port());
  feed.join();
  EXPECT_GE(receiver.counters().recorded_rows, rows);
  EXPECT_EQ(receiver.counters().packets_received, 1U);
  // A mark is bounded; the refused one leaves no row.
  EXPECT_THROW(
      receiver.markRecording(std::string(EthernetReceiveInterface::kMaxMarkBytes + 1, 'x')),
      std::invalid_argument);
  receiver.markRecording(std::string(EthernetReceiveInterface::kMaxMarkBytes, 'x'));

  // A handle of an ended recording touches nothing of the next one.
  receiver.stopRecording(first);
  const auto second = receiver.startRecording(path + ".2");
  EXPECT_NE(second, first);
  receiver.stopRecording(first);
  EXPECT_THROW(receiver.markRecording("stale", first), std::runtime_error);
  EXPECT_TRUE(receiver.isRecording());
  receiver.disconnect();
  EXPECT_FALSE(receiver.isRecording());
  EXPECT_THROW(receiver.markRecording("late"), std::runtime_error);

  EXPECT_EQ(receiver.counters().recorded_rows, 0U);  // of the second recording, which is empty

  const std::vector<std::string> written = rowsOf(path);
  // Sample 1 and its mark, sample 1 of the second connection and its mark, sample 1 of the
  // third connection and the longest mark.
  ASSERT_EQ(written.size(), 6U);
  EXPECT_NE(written[1].find(",\"run 1\""), std::string::npos) << written[1];
  EXPECT_NE(written[3].find(",\"run 2\""), std::string::npos) << written[3];
  EXPECT_EQ(written[5].size(), written[5].find('"') + EthernetReceiveInterface::kMaxMarkBytes + 2);
}

TEST(Recording, AFullDiskEndsItCountsNoRowAndIsToldByStopOrLoggedByDisconnect) {
  std::mutex mutex;
  std::vector<std::string> logged;
  setLogSink([&](LogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    if (level == LogLevel::kError) logged.push_back(line);
  });
  for (const bool by_stop : {true, false}) {
    Connected c;
    c.receiver.startRecording("/dev/full");
    for (int i = 2; i < 50; ++i) c.server.push(sample(i));
    ASSERT_TRUE(waitUntil([&] { return !c.receiver.isRecording(); }));
    const TelemetryCounters counters = c.receiver.counters();
    EXPECT_EQ(counters.recorded_rows, 0U);
    EXPECT_NE(counters.recording_error.find("/dev/full"), std::string::npos);
    if (by_stop) {
      // A reconnect keeps what the recording told.
      std::thread feed([&c] {
        if (c.server.waitForConnections(2)) c.server.push(sample(1));
      });
      c.receiver.connect("127.0.0.1", c.server.port());
      feed.join();
      EXPECT_EQ(c.receiver.counters().recording_error, counters.recording_error);
      EXPECT_THROW(c.receiver.stopRecording(), std::runtime_error);
      c.receiver.disconnect();  // already told: nothing more to log
    } else {
      c.receiver.disconnect();
    }
  }
  setLogSink(nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(logged.size(), 1U);
  EXPECT_NE(logged[0].find("Failed to write the telemetry recording file /dev/full"),
            std::string::npos)
      << logged[0];
}

}  // namespace
}  // namespace epson
