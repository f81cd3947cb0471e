#pragma once
// The CAN suites' fixture: the simulated bridge library loaded from its own
// folder, a CAN instrument record, scaled time, a counted idle hook and the
// messages of the test.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "base/sys_info.h"
#include "can/can_bridge.h"
#include "can/can_bridge_lib.h"
#include "can/can_events.h"
#include "can/can_host_ops.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "sim/can_bridge/can_sim.h"
#include "support/test_support.h"

namespace ferry::test {

// The simulator's control interface, from the same loaded module the CAN
// modules bind.
inline const cansim_api *can_sim() {
  static plat_dynlib *lib = nullptr;
  static const cansim_api *api = []() -> const cansim_api * {
    plat_set_library_dir(FERRY_CAN_SIM_DIR);
    can_lib_rebind();
    lib = plat_dynlib_load(CAN_BRIDGE_LIB_NAME);
    if (!lib)
      return nullptr;
    auto control =
        reinterpret_cast<cansim_control_fn>(plat_dynlib_symbol(lib, CANSIM_CONTROL_SYMBOL));
    return control ? control() : nullptr;
  }();
  return api;
}

inline constexpr uint8_t kMac[6] = {0x00, 0x50, 0xC2, 0x7A, 0x01, 0xF3};
inline constexpr uint8_t kIp[4] = {10, 20, 30, 40};

inline uint32_t ip_value(const uint8_t ip[4]) {
  uint32_t value = 0;
  std::memcpy(&value, ip, sizeof value);
  return value;
}

// Empties the raw queues and both lists.
inline void drain_events() {
  sys_info nothing_decoded{};
  while (can_process_events(&nothing_decoded))
    can_events_clear();
}

inline std::atomic<int> idle_calls{0};
inline void count_idle() {
  ++idle_calls;
}

class CanTest : public ::testing::Test {
protected:
  void SetUp() override {
    sim = can_sim();
    ASSERT_NE(sim, nullptr) << "simulated bridge library not found in " FERRY_CAN_SIM_DIR;
    sim->reset();
    ASSERT_TRUE(can_lib_available());
    saved_scale_ = plat_time_scale();
    plat_set_time_scale(1e-6);
    saved_idle_ = u_idle_hook;
    u_idle_hook = count_idle;
    idle_calls = 0;
    can_set_host_ops(nullptr);
    drain_events();
    instr.instrBdType = 8;
    instr.can.bridge = &bridge;
    std::memcpy(bridge.mac, kMac, sizeof kMac);
    messages.clear();
  }

  void TearDown() override {
    // The delivery thread stops before the message capture goes.
    sim->reset();
    drain_events();
    can_set_host_ops(nullptr);
    u_idle_hook = saved_idle_;
    plat_set_time_scale(saved_scale_);
  }

  void connect() {
    sim->add_bridge(kMac, kIp);
    ASSERT_EQ(can_lib()->CAN_Connect(ip_value(kIp)), CAN_LIB_OK);
  }

  std::vector<cansim_access> accesses() const {
    std::vector<cansim_access> log(sim->access_count());
    for (uint32_t i = 0; i < log.size(); ++i)
      sim->access_entry(i, &log[i]);
    return log;
  }

  // The message was one hook call, with a time stamp call just before it.
  bool stamped(const std::string &message) const {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    std::vector<std::string> calls = messages.calls();
    for (size_t i = 1; i < calls.size(); ++i)
      if (calls[i] == message && std::regex_match(calls[i - 1], stamp))
        return true;
    return false;
  }

  // The message was one hook call, without a time stamp in front.
  bool plain(const std::string &message) const {
    std::vector<std::string> calls = messages.calls();
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == message && (i == 0 || !std::regex_match(calls[i - 1], stamp)))
        return true;
    return false;
  }

  MessageCapture messages;
  const cansim_api *sim = nullptr;
  sys_info instr{};
  can_bridge bridge{};

private:
  double saved_scale_ = 1.0;
  u_idle_fn saved_idle_ = nullptr;
};

} // namespace ferry::test
