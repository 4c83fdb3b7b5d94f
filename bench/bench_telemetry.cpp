// Throughput of the telemetry parser: what the receive thread spends per packet once the
// bytes are framed. Reported as packets per second (items_per_second).

#include <benchmark/benchmark.h>

#include <string>

#include "packet_parser.h"

namespace {

using epson::telemetry::PacketStream;

// Field widths as a controller task formatting with fixed decimals writes them.
const std::string kSamplePacket =
    "X=  412.503;Y= -12.250;Z=  630.000;U=   90.000;V=    0.000;W=  180.000;"
    "J1agl=   -1.234;J2agl=   35.678;J3agl=  -20.112;J4agl=    0.500;J5agl=   74.431;"
    "J6agl= -179.999;";
const std::string kStatusPacket = "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=768;";

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
