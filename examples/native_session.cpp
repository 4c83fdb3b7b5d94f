// A native caller of the driver: opens both channels of one controller, prints its status,
// the robot state and the latest telemetry sample, and closes them again.
//
//   build/release/examples/native_session 127.0.0.1 5000 2000
//
// Run it against the virtual controller (`PYTHONPATH=sim python3 -m epson_sim`) or a real one.

#include <epson/tandrel.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s HOST [CONTROL_PORT] [TELEMETRY_PORT]\n", argv[0]);
    return 2;
  }
  const std::string host = argv[1];
  const auto control_port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : 5000);
  const auto receive_port = static_cast<std::uint16_t>(argc > 3 ? std::atoi(argv[3]) : 2000);
  try {
    epson::Tandrel controller(host, control_port, receive_port);
    auto command = controller.getControlInterface();
    auto telemetry = controller.getReceiveInterface();

    for (const auto& [key, value] : command->getControllerStatus()) {
      std::printf("%-18s %lld\n", key.c_str(), static_cast<long long>(value));
    }
    const std::vector<double> state = command->getState();
    std::printf("joints  ");
    for (int i = 0; i < 6; ++i) std::printf(" %9.3f", state[i]);
    std::printf("\npose    ");
    for (int i = 6; i < 12; ++i) std::printf(" %9.3f", state[i]);
    const epson::TelemetrySample sample = telemetry->getSample();
    std::printf("\nsample J1 %.3f deg, X %.3f mm, %.1f ms old\n", sample.joints[0], sample.pose[0],
                telemetry->sampleAgeSeconds() * 1e3);
    controller.disconnect();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
