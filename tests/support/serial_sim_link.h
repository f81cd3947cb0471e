#pragma once
// A simulated serial device for a test (with test_support.h's scaled time,
// which keeps its time-outs short).
//
// Where the system has pseudo-terminals the device runs in the test's own
// process. Elsewhere (the Windows build under Wine) a test reaches a device
// that the native simulator program serves, when the environment variable
// FERRY_SERIAL_SIM_<KIND> (for example FERRY_SERIAL_SIM_TEMP_CONTROLLER)
// names the port it is behind; the test then steers it in-band through
// its own port (this wins wherever the variable is set). Without either
// the test is skipped.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "serial/sio.h"
#include "sim/serial_device.h"
#include "support/test_support.h"

namespace ferry::test {

class SimLink {
public:
  using Bytes = std::vector<uint8_t>;

  explicit SimLink(std::unique_ptr<sim::SerialDevice> device)
      : device_(std::move(device)), server_(*device_) {}

  // False when there is no device to talk to. A port named in the
  // environment wins, so the in-band road can be tried on any system.
  bool start() {
    std::string variable = "FERRY_SERIAL_SIM_";
    for (const char *c = device_->kind(); *c; ++c)
      variable.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*c))));
    const char *port = std::getenv(variable.c_str());
    if (port && *port) {
      path_ = port;
      remote_ = true;
      return true;
    }
    if (!server_.start())
      return false;
    path_ = server_.device_path();
    return true;
  }
  bool remote() const { return remote_; }
  const std::string &path() const { return path_; }

  // The port the test opened on path(): a remote device is steered through
  // it, and starts each test afresh.
  bool attach(sio_port *port) {
    port_ = port;
    return !remote_ || control("reset") == "ok";
  }

  // One control command and its answer.
  std::string control(const std::string &command) {
    if (!remote_)
      return device_->control(command);
    const std::string line = sim::SerialDevice::control_prefix + command + "\n";
    uint32_t written = 0;
    if (!port_ || sio_send_data(port_, line.data(), uint32_t(line.size()), &written) != 0)
      return "error: cannot send";
    return read_answer();
  }

  void set_fault(sim::Fault fault, int answers = -1) {
    control(std::string("fault ") + sim::fault_name(fault) + " " + std::to_string(answers));
  }
  void script_answer(const Bytes &bytes) { control("script " + sim::to_hex(bytes)); }
  void chatter(const Bytes &bytes, uint32_t repeats, uint32_t interval_ms) {
    control("chatter " + sim::to_hex(bytes) + " " + std::to_string(repeats) + " " +
            std::to_string(interval_ms));
  }
  Bytes received() { return hex_answer("received"); }
  size_t pending_output() { return std::strtoul(control("pending").c_str(), nullptr, 10); }
  // A command whose answer is a hexadecimal byte string.
  Bytes hex_answer(const std::string &command) {
    Bytes bytes;
    sim::from_hex(control(command), &bytes);
    return bytes;
  }
  static std::string hex(const std::string &text) {
    return sim::to_hex(Bytes(text.begin(), text.end()));
  }
  static std::string text(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

private:
  // Reads up to the answer line, skipping what the device sent before it.
  std::string read_answer() {
    const std::string prefix = sim::SerialDevice::answer_prefix;
    std::string seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      uint8_t byte = 0;
      uint32_t got = 0;
      if (sio_read_data(port_, &byte, 1, &got) != 0 || got != 1)
        continue;
      seen.push_back(static_cast<char>(byte));
      const size_t at = seen.find(prefix);
      if (at != std::string::npos && byte == '\n')
        return seen.substr(at + prefix.size(), seen.size() - at - prefix.size() - 1);
    }
    return "error: no answer";
  }

  std::unique_ptr<sim::SerialDevice> device_;
  sim::PtyServer server_;
  std::string path_;
  bool remote_ = false;
  sio_port *port_ = nullptr;
};

// Waits (at most two seconds) until the device has nothing left to send
// and the port holds at least `bytes` bytes of input.
inline bool wait_for_input(SimLink &link, sio_port *port, uint32_t bytes) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) {
    uint32_t available = 0;
    // A remote device is asked nothing here: its answer would come in
    // among the very bytes being waited for.
    if ((link.remote() || link.pending_output() == 0) &&
        sio_bytes_available(port, &available) == 0 && available >= bytes)
      return true;
    plat_sleep_ms(1);
  }
  return false;
}

} // namespace ferry::test
