// The telemetry receiver end to end, from a loopback pusher: how many packets per second it takes
// in, what its receive thread (and a recording) costs at a controller's 1 kHz, and how soon a
// waiting reader wakes up for a new packet. Each is reported beside a baseline measured in the
// same run: a plain blocking reader of the same bytes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <epson/ethernet_receive_interface.h>

#include "loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string samplePacket(long index) {
  return "X=412.503;Y=-12.250;Z=630.000;U=90.000;V=0.000;W=180.000;J1agl=" + std::to_string(index) +
         ";J2agl=35.678;J3agl=-20.112;J4agl=0.500;J5agl=74.431;J6agl=-179.999;\r";
}

// Listens on 127.0.0.1; the first connection is handed to `push`, run on the pusher thread.
class Pusher {
 public:
  template <typename Push>
  explicit Pusher(Push push) {
    listen_ = epson::bench::listenOnLoopback(port_);
    thread_ = std::thread([this, push] {
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      push(fd);
      cpu_seconds_ = threadCpuSeconds();
      ::close(fd);
    });
  }
  ~Pusher() {
    ::shutdown(listen_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }
  // CPU the pusher thread used; valid after join().
  double join() {
    if (thread_.joinable()) thread_.join();
    return cpu_seconds_;
  }

 private:
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  double cpu_seconds_ = 0.0;
};

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

int connectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

constexpr long kBurstPackets = 200'000;

// A burst of distinct samples, the last one marked, pushed as fast as loopback takes them.
std::string burst() {
  std::string bytes;
  for (long i = 1; i <= kBurstPackets; ++i) bytes += samplePacket(i);
  return bytes;
}

// Baseline: a plain blocking reader that only counts carriage returns.
void BM_IngestBaselineRawRecv(benchmark::State& state) {
  const std::string bytes = burst();
  for (auto _ : state) {
    Pusher pusher([&bytes](int fd) { sendAll(fd, bytes); });
    const int fd = connectTo(pusher.port());
    const auto start = Clock::now();
    long packets = 0;
    char chunk[65536];
    while (packets < kBurstPackets) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) packets += chunk[i] == '\r';
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    ::close(fd);
  }
  state.SetItemsProcessed(state.iterations() * kBurstPackets);
}
BENCHMARK(BM_IngestBaselineRawRecv)->UseManualTime()->Unit(benchmark::kMillisecond);

// The receiver: framing, parsing and publishing every packet; done when the last sample is the
// one published.
void BM_IngestThroughReceiver(benchmark::State& state) {
  const std::string bytes = burst();
  const std::string first = samplePacket(0);
  for (auto _ : state) {
    std::atomic<bool> go{false};
    Pusher pusher([&](int fd) {
      sendAll(fd, first);  // lets connect() return
      while (!go) std::this_thread::yield();
      sendAll(fd, bytes);
    });
    epson::EthernetReceiveInterface receiver;
    receiver.connect("127.0.0.1", pusher.port());
    const auto start = Clock::now();
    go = true;
    while (receiver.getSample().joints[0] < static_cast<double>(kBurstPackets)) {
      if (Clock::now() - start > std::chrono::seconds(20)) {
        state.SkipWithError("the receiver did not take in the burst within 20 s");
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    receiver.disconnect();
  }
  state.SetItemsProcessed(state.iterations() * kBurstPackets);
}
BENCHMARK(BM_IngestThroughReceiver)->UseManualTime()->Unit(benchmark::kMillisecond);

// CPU of whatever reads the stream while a pusher sends one packet per millisecond for 3 s:
// process CPU minus the pusher's and the waiting main thread's, as a percentage of one core.
constexpr auto kDuration = std::chrono::seconds(3);

template <typename Reader>
void runAtOneKilohertz(benchmark::State& state, Reader read) {
  for (auto _ : state) {
    Pusher pusher([](int fd) {
      const auto start = Clock::now();
      for (long i = 1; Clock::now() - start < kDuration; ++i) {
        if (!sendAll(fd, samplePacket(i))) return;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
      }
    });
    const double process_before = processCpuSeconds();
    const double main_before = threadCpuSeconds();
    read(pusher.port(), kDuration);
    const double pusher_cpu = pusher.join();
    const double reader_cpu =
        (processCpuSeconds() - process_before) - (threadCpuSeconds() - main_before) - pusher_cpu;
    state.counters["cpu_percent_of_core"] =
        100.0 * reader_cpu / std::chrono::duration<double>(kDuration).count();
  }
}

void BM_OneKilohertzBaselineRawRecv(benchmark::State& state) {
  runAtOneKilohertz(state, [](std::uint16_t port, std::chrono::seconds) {
    std::thread reader([port] {
      const int fd = connectTo(port);
      char chunk[4096];
      while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
      }
      ::close(fd);
    });
    reader.join();
  });
}
BENCHMARK(BM_OneKilohertzBaselineRawRecv)->Iterations(1)->Unit(benchmark::kMillisecond);

// The receiver alone, and with a recording: the receive thread plus the recording's writer.
void oneKilohertzReceiver(benchmark::State& state, bool record) {
  runAtOneKilohertz(state, [record](std::uint16_t port, std::chrono::seconds duration) {
    epson::EthernetReceiveInterface receiver;
    receiver.connect("127.0.0.1", port);
    const std::string path = "/tmp/epson_bench_recording.csv";
    if (record) receiver.startRecording(path);
    std::this_thread::sleep_for(duration);
    receiver.disconnect();  // stops the recording: its writer's CPU is counted in full
    if (record) std::remove(path.c_str());
  });
}

void BM_OneKilohertzReceiver(benchmark::State& state) { oneKilohertzReceiver(state, false); }
BENCHMARK(BM_OneKilohertzReceiver)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_OneKilohertzReceiverRecording(benchmark::State& state) {
  oneKilohertzReceiver(state, true);
}
BENCHMARK(BM_OneKilohertzReceiverRecording)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- Wake-up: from a packet sent on loopback to the reader that waits for it ------------------

constexpr int kWakeups = 2000;

// Sends one packet every `gap`, so the reader is asleep each time, and hands `wait` the sending
// time of each; reports the median and 99th percentile of the wake-up latencies in microseconds.
template <typename Wait>
void measureWakeups(benchmark::State& state, int fd, Wait wait) {
  std::vector<double> latencies;
  latencies.reserve(kWakeups);
  std::atomic<long long> sent_ns{0};
  std::thread reader([&] {
    for (int i = 0; i < kWakeups; ++i) {
      if (!wait()) return;
      const auto now = Clock::now().time_since_epoch();
      latencies.push_back(
          static_cast<double>(std::chrono::nanoseconds(now).count() - sent_ns.load()) / 1e3);
    }
  });
  for (auto _ : state) {
    for (int i = 1; i <= kWakeups; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(700));
      sent_ns = std::chrono::nanoseconds(Clock::now().time_since_epoch()).count();
      if (!sendAll(fd, samplePacket(i))) break;
    }
  }
  reader.join();
  std::sort(latencies.begin(), latencies.end());
  if (latencies.empty()) return;
  state.counters["median_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
}

void BM_WakeupBaselineRawRecv(benchmark::State& state) {
  int server_fd = -1;
  std::atomic<bool> accepted{false};
  Pusher pusher([&](int fd) {
    server_fd = fd;
    accepted = true;
    char drain[16];
    ::recv(fd, drain, sizeof drain, 0);  // holds the connection until the reader closes it
  });
  const int fd = connectTo(pusher.port());
  while (!accepted) std::this_thread::yield();
  char chunk[4096];
  measureWakeups(state, server_fd, [&] { return ::recv(fd, chunk, sizeof chunk, 0) > 0; });
  ::close(fd);
}
BENCHMARK(BM_WakeupBaselineRawRecv)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_WakeupWaitForNextSample(benchmark::State& state) {
  int server_fd = -1;
  std::atomic<bool> accepted{false};
  std::atomic<bool> done{false};
  Pusher pusher([&](int fd) {
    server_fd = fd;
    sendAll(fd, samplePacket(0));  // lets connect() return
    accepted = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  epson::EthernetReceiveInterface receiver;
  receiver.connect("127.0.0.1", pusher.port());
  while (!accepted) std::this_thread::yield();
  // Of the latency, the part after the receive thread published: the waiter's own wake-up.
  std::vector<double> after_publication;
  measureWakeups(state, server_fd, [&] {
    try {
      const double published = receiver.waitForNextSample(std::chrono::seconds(2)).host_time;
      after_publication.push_back(
          std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - published);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  });
  done = true;
  receiver.disconnect();
  std::sort(after_publication.begin(), after_publication.end());
  if (!after_publication.empty()) {
    state.counters["after_publication_us"] = after_publication[after_publication.size() / 2] * 1e6;
  }
}
BENCHMARK(BM_WakeupWaitForNextSample)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
