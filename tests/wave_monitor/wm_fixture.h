#pragma once
// A simulated wave monitor on a pseudo-terminal with an open link to it.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "platform/clock.h"
#include "serial/wave_monitor.h"
#include "sim/wave_monitor_sim.h"
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

class WaveMonitorTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat_set_time_scale(1.0);
    if (!server_.start())
      GTEST_SKIP() << "this system has no pseudo-terminals to serve a simulated device";
    ASSERT_EQ(wm_comm_open_fd(&link_, server_.device_path().c_str()), ERR_NONE);
  }
  void TearDown() override {
    wm_comm_close(&link_);
    server_.stop();
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

  sim::WaveMonitorSim sim_;
  sim::PtyServer server_{sim_};
  wm_link link_{};
};

} // namespace ferry::test
