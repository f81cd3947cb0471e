#pragma once
// A simulated wave monitor with an open link to it: in the test's own
// process over a pseudo-terminal, or (under Wine) the native simulator
// behind the COM port that FERRY_SERIAL_SIM_WAVE_MONITOR names, steered
// in-band.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "base/hooks.h"
#include "platform/clock.h"
#include "serial/wave_monitor.h"
#include "sim/wave_monitor_sim.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

namespace ferry::test {

// Messages with every time stamp replaced by "T", so they compare exactly.
inline std::string unstamped(const std::string &text) {
  static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
  return std::regex_replace(text, stamp, "T");
}

inline std::vector<uint8_t> bytes_of(const std::string &text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> with_ack(std::vector<uint8_t> bytes, uint8_t last = WM_ACK) {
  bytes.push_back(last);
  return bytes;
}

// Owns a response buffer for the tests that read one themselves.
struct RespBuf {
  wm_resp_buf buf{};
  RespBuf() = default;
  RespBuf(const RespBuf &) = delete;
  RespBuf &operator=(const RespBuf &) = delete;
  ~RespBuf() { wm_resp_free(&buf); }
  std::vector<uint8_t> bytes() const {
    return buf.data ? std::vector<uint8_t>(buf.data, buf.data + buf.size) : std::vector<uint8_t>{};
  }
};

// The simulated wave monitor as a test steers it, wherever it runs.
class WaveMonitorControl {
public:
  explicit WaveMonitorControl(SimLink &link) : link_(link) {}

  void set_status(const wm_status &status) { set_statuses({status}); }
  void set_statuses(const std::vector<wm_status> &statuses) {
    std::string command = "status";
    for (const wm_status &s : statuses)
      command += " " + sim::to_hex(sim::WaveMonitorSim::encode_status(s));
    expect_ok(command);
  }
  void set_calibration(const sim::WaveMonitorCalibration &cal) {
    expect_ok("calibration " + sim::to_hex(sim::WaveMonitorSim::encode_calibration(cal)));
  }
  void set_laser_switch_after(int queries) {
    expect_ok("laser_switch_after " + std::to_string(queries));
  }
  void set_laser_on(bool on) { expect_ok(on ? "laser_on 1" : "laser_on 0"); }
  bool laser_on() { return link_.control("laser") == "1"; }
  void set_table(const std::vector<uint8_t> &header, uint32_t elem_size,
                 const std::vector<uint8_t> &elements) {
    expect_ok("table " + hex_or_dash(header) + " " + std::to_string(elem_size) + " " +
              hex_or_dash(elements));
  }
  void set_fault(sim::Fault fault, int answers = -1) {
    expect_ok(std::string("fault ") + sim::fault_name(fault) + " " + std::to_string(answers));
  }
  void script_answer(const std::vector<uint8_t> &bytes) {
    expect_ok("script " + sim::to_hex(bytes));
  }
  void set_answer_delay_ms(uint32_t ms) { expect_ok("delay " + std::to_string(ms)); }
  void chatter(const std::vector<uint8_t> &bytes, uint32_t repeats, uint32_t interval_ms) {
    expect_ok("chatter " + sim::to_hex(bytes) + " " + std::to_string(repeats) + " " +
              std::to_string(interval_ms));
  }

  // Bytes received since the last clear_received, and the commands in them.
  std::vector<uint8_t> received() {
    std::vector<uint8_t> all = link_.received();
    return std::vector<uint8_t>(all.begin() + long(std::min(seen_, all.size())), all.end());
  }
  void clear_received() { seen_ = link_.received().size(); }
  std::vector<std::string> commands() {
    std::vector<std::string> list;
    std::string line;
    for (uint8_t b : received()) {
      if (b == WM_CR)
        list.push_back(std::exchange(line, std::string()));
      else
        line.push_back(char(b));
    }
    return list;
  }

private:
  static std::string hex_or_dash(const std::vector<uint8_t> &bytes) {
    return bytes.empty() ? "-" : sim::to_hex(bytes);
  }
  void expect_ok(const std::string &command) { EXPECT_EQ(link_.control(command), "ok") << command; }

  SimLink &link_;
  size_t seen_ = 0;
};

class WaveMonitorTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat_set_time_scale(1.0);
    if (!device_.start())
      GTEST_SKIP() << "no simulated wave monitor on this system";
    ASSERT_EQ(wm_comm_open_fd(&link_, device_.path().c_str()), ERR_NONE);
    ASSERT_TRUE(device_.attach(&link_.port));
  }
  void TearDown() override {
    wm_comm_close(&link_);
    plat_set_time_scale(1.0);
    u_abort_hook = u_abort_never;
  }

  // Discards what a failed exchange left on the line.
  void drain() { ASSERT_EQ(wm_flush_inp(&link_), ERR_NONE); }

  int32_t port_timeout() {
    int32_t seconds = -1;
    EXPECT_EQ(sio_get_timeout(&link_.port, &seconds), ERR_NONE);
    return seconds;
  }

  SimLink device_{sim::make_wave_monitor_sim()};
  WaveMonitorControl sim_{device_};
  wm_link link_{};
};

} // namespace ferry::test
