// Serves one simulated serial device over a pseudo-terminal, for demos and
// for the Windows test run under Wine (whose COM port is linked to the
// printed device path).
//
//   serial_sim KIND [--control] [--path-file FILE] [--seconds N]
//
// KIND is wave_monitor, temp_controller, metronics, heid, instrument_board
// or quiet. With --control the line also carries the simulator's control
// commands, so a test in another process (under Wine, say) can steer it
// (the instrument board's type too: its "board" command). The program
// prints the device path it serves on its first line, writes it to FILE
// when asked, and serves until it is ended (or for N seconds).

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/serial_device.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) {
  stop_requested = 1;
}

int usage() {
  std::fprintf(stderr, "usage: serial_sim "
                       "wave_monitor|temp_controller|metronics|heid|instrument_board|quiet "
                       "[--control] [--path-file FILE] [--seconds N]\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2)
    return usage();
  const std::string kind = argv[1];
  const char *path_file = nullptr;
  long seconds = -1;
  bool control = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--control") == 0)
      control = true;
    else if (std::strcmp(argv[i], "--path-file") == 0 && i + 1 < argc)
      path_file = argv[++i];
    else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
      seconds = std::strtol(argv[++i], nullptr, 10);
    else
      return usage();
  }
  auto device = ferry::sim::make_serial_device(kind);
  if (!device) {
    std::fprintf(stderr, "serial_sim: unknown device kind \"%s\"\n", kind.c_str());
    return usage();
  }
  device->accept_inband_control(control);
  ferry::sim::PtyServer server(*device);
  if (!server.start()) {
    std::fprintf(stderr, "serial_sim: this system has no pseudo-terminals\n");
    return 1;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::printf("%s\n", server.device_path().c_str());
  std::fflush(stdout);
  if (path_file) {
    // Written whole under a temporary name, so a reader never sees half.
    const std::string tmp = std::string(path_file) + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f || std::fprintf(f, "%s\n", server.device_path().c_str()) < 0 || std::fclose(f) != 0 ||
        std::rename(tmp.c_str(), path_file) != 0) {
      std::fprintf(stderr, "serial_sim: cannot write %s\n", path_file);
      return 1;
    }
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!stop_requested && (seconds < 0 || std::chrono::steady_clock::now() < end))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.stop();
  return 0;
}
