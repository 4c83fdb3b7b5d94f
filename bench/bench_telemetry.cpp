// Throughput of the telemetry parser: what the receive thread spends per packet once the
// bytes are framed. Reported as packets per second (items_per_second).

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <string_view>

#include "packet_parser.h"

namespace {

using epson::telemetry::PacketStream;

// Field widths as a controller task formatting with fixed decimals writes them.
const std::string kSamplePacket =
    "X=  412.503;Y= -12.250;Z=  630.000;U=   90.000;V=    0.000;W=  180.000;"
    "J1agl=   -1.234;J2agl=   35.678;J3agl=  -20.112;J4agl=    0.500;J5agl=   74.431;"
    "J6agl= -179.999;";
const std::string kStatusPacket = "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=768;";

// Baseline: the straightforward parser this one replaced, a std::map of keys and std::stod per
// value (which also reads the process locale).
void BM_BaselineMapAndStod(benchmark::State& state) {
  for (auto _ : state) {
    std::map<std::string, double, std::less<>> fields;
    std::string_view rest = kSamplePacket;
    while (!rest.empty()) {
      const std::string_view field = rest.substr(0, rest.find(';'));
      rest.remove_prefix(std::min(rest.size(), field.size() + 1));
      const auto eq = field.find('=');
      if (eq == std::string_view::npos) continue;
      fields[std::string(field.substr(0, eq))] = std::stod(std::string(field.substr(eq + 1)));
    }
    benchmark::DoNotOptimize(fields);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineMapAndStod);

void BM_WholeSamplePacket(benchmark::State& state) {
  PacketStream stream;
  for (auto _ : state) benchmark::DoNotOptimize(stream.feed(kSamplePacket));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WholeSamplePacket);

void BM_SampleSplitOverTwoPackets(benchmark::State& state) {
  const std::string pose = kSamplePacket.substr(0, kSamplePacket.find("J1agl"));
  const std::string joints = kSamplePacket.substr(pose.size());
  PacketStream stream;
  for (auto _ : state) {
    benchmark::DoNotOptimize(stream.feed(pose));
    benchmark::DoNotOptimize(stream.feed(joints));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_SampleSplitOverTwoPackets);

void BM_StatusPacket(benchmark::State& state) {
  PacketStream stream;
  for (auto _ : state) benchmark::DoNotOptimize(stream.feed(kStatusPacket));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusPacket);

}  // namespace
