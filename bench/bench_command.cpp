// What users feel of the command client: the cost of one exchange against a loopback peer next
// to a bare loopback round trip, pause() during a running motion, getState() refusal during a
// motion, and the pure reply parsing and number formatting.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <epson/brevacon.h>

#include "loopback.h"
#include "protocol.h"

namespace {

// A minimal controller on 127.0.0.1: answers each line at once. A Go is answered only when a
// $Continue arrives, so a benchmark can run while a motion holds the session.
class LoopbackController {
 public:
  LoopbackController() {
    listen_ = epson::bench::listenOnLoopback(port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackController() {
    ::shutdown(listen_, SHUT_RDWR);
    ::close(listen_);
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  void serve() {
    while (true) {
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      std::string buffer;
      char chunk[4096];
      bool motion = false;
      for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<std::size_t>(n));
        for (auto lf = buffer.find('\n'); lf != std::string::npos; lf = buffer.find('\n')) {
          const std::string line = buffer.substr(0, lf - 1);
          buffer.erase(0, lf + 1);
          std::string reply;
          if (line.rfind("$Login", 0) == 0) {
            reply = "#Login\r\n";
          } else if (line == "$Logout") {
            reply = "#Logout\r\n";
          } else if (line == "$Pause") {
            reply = "#Pause\r\n";
          } else if (line == "$GetStatus") {
            reply = "#GetStatus,00100000011,0000\r\n";
          } else if (line == "$Abort") {
            reply = motion ? "#Abort,0\r\n!Execute,36\r\n" : "!Abort,20\r\n";
            motion = false;
          } else if (line == "$Continue") {
            reply = motion ? "#Continue\r\n#Execute\r\n" : "#Continue\r\n";
            motion = false;
          } else if (line.rfind("$Execute,\"Go", 0) == 0) {
            motion = true;
          } else if (line.rfind("$Execute,\"Print Sw(", 0) == 0) {
            reply = "#Execute,\"1\"\r\n";
          } else {
            reply = "#Execute,\"1,2,3,4,5,6,7,8,9,10,11,12\"\r\n";
          }
          if (!reply.empty()) ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
      }
      ::close(fd);
    }
  }

  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// Baseline: one line out and one line back over a bare loopback TCP connection.
void BM_BareLoopbackRoundTrip(benchmark::State& state) {
  LoopbackController peer;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(peer.port());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    state.SkipWithError("connect failed");
    return;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  const std::string line = "$Execute,\"Print Agl(1)\"\r\n";
  char chunk[256];
  for (auto _ : state) {
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    std::size_t got = 0;
    while (got == 0 || chunk[got - 1] != '\n') {
      const ssize_t n = ::recv(fd, chunk + got, sizeof(chunk) - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
}
BENCHMARK(BM_BareLoopbackRoundTrip)->UseRealTime();

// One getState(): session lock, $Execute write, reply wait on the event loop, parse.
void BM_GetStateExchange(benchmark::State& state) {
  LoopbackController peer;
  epson::Brevacon robot;
  robot.connect("127.0.0.1", peer.port(), "");
  for (auto _ : state) benchmark::DoNotOptimize(robot.getState());
  robot.disconnect();
}
BENCHMARK(BM_GetStateExchange)->UseRealTime();

// One getInput(): the generic query path of every I/O read, beside getState() above.
void BM_GetInputExchange(benchmark::State& state) {
  LoopbackController peer;
  epson::Brevacon robot;
  robot.connect("127.0.0.1", peer.port(), "");
  for (auto _ : state) benchmark::DoNotOptimize(robot.getInput(8));
  robot.disconnect();
}
BENCHMARK(BM_GetInputExchange)->UseRealTime();

// pause() while another thread's go() holds the session: write beside the motion, reply handed
// over by the motion's reader.
void BM_PauseDuringMotion(benchmark::State& state) {
  LoopbackController peer;
  epson::Brevacon robot;
  robot.connect("127.0.0.1", peer.port(), "");
  auto motion = std::async(std::launch::async, [&robot] {
    robot.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false);
  });
  // Wait until the motion holds the session (getState is refused from then on).
  for (int i = 0; i < 1000; ++i) {
    try {
      robot.getState();
    } catch (const std::runtime_error& e) {
      if (std::string(e.what()).rfind("getState() skipped", 0) == 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto _ : state) robot.pause();
  robot.continueMotion();
  motion.get();
  robot.disconnect();
}
BENCHMARK(BM_PauseDuringMotion)->UseRealTime();

// abortMotion() beside a running go(): the same path as pause(), timed from the call to its
// reply; each iteration starts a new motion, untimed.
void BM_AbortDuringMotion(benchmark::State& state) {
  LoopbackController peer;
  epson::Brevacon robot;
  robot.connect("127.0.0.1", peer.port(), "");
  for (auto _ : state) {
    auto motion = std::async(std::launch::async, [&robot] {
      try {
        robot.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false);
      } catch (const epson::MotionAbortedError&) {
      }
    });
    bool accepted = false;
    std::chrono::steady_clock::duration took{};
    for (int i = 0; i < 1000 && !accepted; ++i) {
      const auto start = std::chrono::steady_clock::now();
      accepted = robot.abortMotion();
      took = std::chrono::steady_clock::now() - start;
      if (!accepted) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    motion.get();
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
  robot.disconnect();
}
BENCHMARK(BM_AbortDuringMotion)->UseManualTime();

// getState() polled during a motion must fail at once, never queue behind it.
void BM_GetStateRefusedDuringMotion(benchmark::State& state) {
  LoopbackController peer;
  epson::Brevacon robot;
  robot.connect("127.0.0.1", peer.port(), "");
  auto motion = std::async(std::launch::async, [&robot] {
    robot.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (auto _ : state) {
    try {
      robot.getState();
    } catch (const std::runtime_error&) {
    }
  }
  robot.continueMotion();
  motion.get();
  robot.disconnect();
}
BENCHMARK(BM_GetStateRefusedDuringMotion);

void BM_ParseState(benchmark::State& state) {
  const std::string text =
      "12.5,-45.25,30.125,0.5,90,-179.75,400.123456,-12.5,300.25,0.001,89.999,-180";
  for (auto _ : state) benchmark::DoNotOptimize(epson::protocol::parseState(text));
}
BENCHMARK(BM_ParseState);

void BM_ParseControllerStatus(benchmark::State& state) {
  const std::string text = "1048576,0,False,True,0,21,3,0x300";
  for (auto _ : state) benchmark::DoNotOptimize(epson::protocol::parseControllerStatus(text));
}
BENCHMARK(BM_ParseControllerStatus);

void BM_BuildIkPoint(benchmark::State& state) {
  const std::vector<double> pose = {400.1, -0.25, 300.75, 0.1, 90, 180};
  const std::vector<double> ref = {1, 2, 3, 4, 5, 6};
  for (auto _ : state) benchmark::DoNotOptimize(epson::protocol::buildIkPoint(pose, true, ref));
}
BENCHMARK(BM_BuildIkPoint);

}  // namespace
