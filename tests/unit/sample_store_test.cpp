// The sample ring and its readers without a socket: wrap-around, what each reader counts as
// missed, the end of a run, and a writer that laps a slow reader while it copies.

#include "sample_store.h"

#include <epson/errors.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

namespace epson::telemetry {
namespace {

using namespace std::chrono_literals;
using Clock = SampleStore::Clock;
constexpr auto kPoll = std::chrono::milliseconds(50);

// Publishes samples whose sequence is first, first + 1, ... (count of them).
void publish(SampleStore& store, std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) {
    TelemetrySample sample;
    sample.sequence = first + i;
    sample.joints[0] = static_cast<double>(first + i);
    store.publish(sample, Clock::now());
  }
}

std::vector<std::uint64_t> sequencesOf(const std::vector<TelemetrySample>& samples) {
  std::vector<std::uint64_t> sequences;
  for (const auto& sample : samples) sequences.push_back(sample.sequence);
  return sequences;
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> values;
  for (std::uint64_t v = first; v <= last; ++v) values.push_back(v);
  return values;
}

struct WrapCase {
  const char* name;
  std::size_t capacity;
  std::uint64_t before;     // published before the reader starts
  std::uint64_t after;      // published after it starts, before it takes
  std::uint64_t missed;     // what it must count
  std::uint64_t first_got;  // sequence of the first sample it must get (0: none)
};

class RingWrap : public testing::TestWithParam<WrapCase> {};

TEST_P(RingWrap, ATakeGetsTheNewestCapacitySamplesInOrderAndCountsTheRest) {
  const WrapCase& c = GetParam();
  SampleStore store(c.capacity);
  store.open();
  publish(store, 1, c.before);
  std::uint64_t next = store.position();
  std::uint64_t missed = 0;
  publish(store, c.before + 1, c.after);
  std::vector<TelemetrySample> got;
  store.take(next, missed, got, 0ns, 1, {}, kPoll);

  EXPECT_EQ(missed, c.missed);
  const std::uint64_t last = c.before + c.after;
  EXPECT_EQ(sequencesOf(got),
            c.first_got == 0 ? std::vector<std::uint64_t>{} : range(c.first_got, last));
  EXPECT_EQ(missed + got.size(), c.after);  // nothing counted twice, nothing lost unsaid
  EXPECT_EQ(next, last);
  if (c.before + c.after > 0) {
    EXPECT_EQ(store.latest().sequence, last);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingWrap,
    testing::Values(WrapCase{"Empty", 4, 0, 0, 0, 0}, WrapCase{"OneSample", 4, 0, 1, 0, 1},
                    WrapCase{"ExactlyFull", 4, 0, 4, 0, 1}, WrapCase{"OneOverFull", 4, 0, 5, 1, 2},
                    WrapCase{"StartedAfterAWrap", 4, 10, 3, 0, 11},
                    WrapCase{"LappedTwiceAfterAWrap", 4, 10, 11, 7, 18},
                    WrapCase{"CapacityOne", 1, 2, 3, 2, 5},
                    WrapCase{"FullSizeRingLapped", 4096, 0, 10000, 10000 - 4096, 10000 - 4095}),
    [](const testing::TestParamInfo<WrapCase>& param) { return param.param.name; });

TEST(SampleReaders, EachHasItsOwnCursorAndMissedCount) {
  SampleStore store(8);
  store.open();
  std::uint64_t fast_next = store.position();
  std::uint64_t slow_next = fast_next;
  std::uint64_t fast_missed = 0;
  std::uint64_t slow_missed = 0;
  std::vector<TelemetrySample> fast;
  for (std::uint64_t burst = 0; burst < 5; ++burst) {
    publish(store, burst * 6 + 1, 6);
    store.take(fast_next, fast_missed, fast, 0ns, 1, {}, kPoll);
  }
  std::vector<TelemetrySample> slow;
  store.take(slow_next, slow_missed, slow, 0ns, 1, {}, kPoll);

  EXPECT_EQ(sequencesOf(fast), range(1, 30));
  EXPECT_EQ(fast_missed, 0U);
  EXPECT_EQ(sequencesOf(slow), range(23, 30));
  EXPECT_EQ(slow_missed, 22U);
  // Taken means gone for that reader only: nothing new, so nothing more for either.
  for (auto* next : {&fast_next, &slow_next}) {
    std::vector<TelemetrySample> none;
    std::uint64_t missed = 0;
    store.take(*next, missed, none, 0ns, 1, {}, kPoll);
    EXPECT_TRUE(none.empty());
  }
}

TEST(SampleReaders, ATakeWaitsForTheNextSampleAndEndsWithTheRun) {
  SampleStore store(16);
  std::uint64_t next = store.position();
  std::uint64_t missed = 0;
  std::vector<TelemetrySample> got;
  // Not open: nothing will come.
  EXPECT_THROW(store.take(next, missed, got, 1s, 1, {}, kPoll), ConnectionLostError);

  store.open();
  const auto before = Clock::now();
  store.take(next, missed, got, 30ms, 1, {}, kPoll);
  EXPECT_TRUE(got.empty());
  EXPECT_GE(Clock::now() - before, 30ms);

  std::thread writer([&store] {
    std::this_thread::sleep_for(20ms);
    publish(store, 1, 1);
  });
  store.take(next, missed, got, 5s, 1, {}, kPoll);
  writer.join();
  EXPECT_EQ(sequencesOf(got), range(1, 1));

  // Samples published before the close are still taken; then the reader is told.
  publish(store, 2, 2);
  store.close();
  got.clear();
  store.take(next, missed, got, 1s, 1, {}, kPoll);
  EXPECT_EQ(sequencesOf(got), range(2, 3));
  EXPECT_THROW(store.take(next, missed, got, 1s, 1, {}, kPoll), ConnectionLostError);

  // A new run cuts a wait of the last one short, but a reader goes on into it. The poll runs
  // while the take waits, so the new run begins during the wait.
  store.open();
  bool reopened = false;
  const auto reopen = [&] {
    if (reopened) return;
    reopened = true;
    store.open();
    publish(store, 1, 1);
  };
  EXPECT_THROW(store.take(next, missed, got, 5s, 1, reopen, 1ms), ConnectionLostError);
  got.clear();
  store.take(next, missed, got, 0ns, 1, {}, kPoll);
  EXPECT_EQ(sequencesOf(got), range(1, 1));
  EXPECT_EQ(missed, 0U);
  // A poll that throws ends the wait: how Python lets Ctrl-C in.
  EXPECT_THROW(store.take(
                   next, missed, got, 5s, 1, [] { throw std::domain_error("interrupt"); }, 1ms),
               std::domain_error);
}

TEST(SampleReaders, ABatchTakeWaitsForItsSizeOrItsTimeoutOrTheEnd) {
  SampleStore store(16);
  store.open();
  std::uint64_t next = store.position();
  std::uint64_t missed = 0;
  std::vector<TelemetrySample> got;
  std::thread writer([&store] {
    for (std::uint64_t i = 1; i <= 3; ++i) {
      std::this_thread::sleep_for(10ms);
      publish(store, i, 1);
    }
  });
  store.take(next, missed, got, 5s, 3, {}, kPoll);
  writer.join();
  EXPECT_EQ(sequencesOf(got), range(1, 3));  // not before the third

  publish(store, 4, 1);
  got.clear();
  const auto before = Clock::now();
  store.take(next, missed, got, 30ms, 3, {}, kPoll);  // one of three by the timeout: taken
  EXPECT_GE(Clock::now() - before, 30ms);
  EXPECT_EQ(sequencesOf(got), range(4, 4));

  publish(store, 5, 1);
  store.close();
  got.clear();
  store.take(next, missed, got, 5s, 3, {}, kPoll);  // no more will come: at once
  EXPECT_EQ(sequencesOf(got), range(5, 5));
}

TEST(SampleStore, ANewRunHidesTheLatestSampleUntilItsFirst) {
  SampleStore store(4);
  EXPECT_FALSE(store.hasSample());
  EXPECT_THROW(store.latest(), std::runtime_error);
  EXPECT_EQ(store.ageSeconds(), std::numeric_limits<double>::infinity());
  store.open();
  publish(store, 1, 3);
  EXPECT_EQ(store.latest().sequence, 3U);
  EXPECT_LT(store.ageSeconds(), 1.0);
  store.close();
  EXPECT_EQ(store.latest().sequence, 3U);  // readable after the run ended
  store.open();
  EXPECT_FALSE(store.hasSample());
  EXPECT_FALSE(store.waitForFirst(Clock::now() + 10ms));
  publish(store, 1, 1);
  EXPECT_TRUE(store.waitForFirst(Clock::now() + 10ms));
}

// A writer far faster than a reader that copies while it is lapped: whatever the interleaving,
// the reader gets strictly increasing samples, and what it got plus what it missed is all that
// was published.
TEST(SampleReaders, AReaderLappedWhileItCopiesCountsEverySampleOnce) {
  constexpr std::uint64_t kPublished = 200000;
  SampleStore store(1024);
  store.open();
  std::uint64_t next = store.position();
  std::uint64_t missed = 0;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    publish(store, 1, kPublished);
    done = true;
  });
  std::uint64_t got = 0;
  std::uint64_t last = 0;
  bool ordered = true;
  std::vector<TelemetrySample> batch;
  const auto deadline = Clock::now() + 30s;
  while (Clock::now() < deadline) {
    const bool finished = done.load();
    batch.clear();
    store.take(next, missed, batch, 0ns, 1, {}, kPoll);
    for (const auto& sample : batch) {
      ordered = ordered && sample.sequence > last && sample.joints[0] == sample.sequence;
      last = sample.sequence;
    }
    got += batch.size();
    if (finished && batch.empty()) break;
  }
  writer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(got + missed, kPublished);
  EXPECT_EQ(last, kPublished);
}

}  // namespace
}  // namespace epson::telemetry
