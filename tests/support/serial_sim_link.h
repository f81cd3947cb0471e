#pragma once
// A simulated serial device served over a pseudo-terminal for a test, and
// the scaled time that keeps its time-outs short.

#include <chrono>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "serial/sio.h"
#include "sim/serial_device.h"

namespace ferry::test {

// Shortens every library wait for the life of the object.
class ScaledTime {
public:
  explicit ScaledTime(double scale) : saved_(plat_time_scale()) { plat_set_time_scale(scale); }
  ~ScaledTime() { plat_set_time_scale(saved_); }
  ScaledTime(const ScaledTime &) = delete;
  ScaledTime &operator=(const ScaledTime &) = delete;

private:
  double saved_;
};

template <typename Device> class SimLink {
public:
  SimLink() : server_(device) {}
  // False where pseudo-terminals do not exist.
  bool start() { return server_.start(); }
  const std::string &path() const { return server_.device_path(); }

  Device device;

private:
  sim::PtyServer server_;
};

// Waits (at most two seconds) until the device has nothing left to send
// and the port holds at least `bytes` bytes of input.
inline bool wait_for_input(const sim::SerialDevice &device, sio_port *port, uint32_t bytes) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) {
    uint32_t available = 0;
    if (device.pending_output() == 0 && sio_bytes_available(port, &available) == 0 &&
        available >= bytes)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

} // namespace ferry::test
