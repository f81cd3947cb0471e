#pragma once
// Power-on and power-off suites: the CAN fixture with a staged instrument
// per system family, a recorder of the host operations, the writes of the
// simulator's log as text and messages with their time stamps masked.

#include <regex>
#include <string>
#include <vector>

#include "can/can_power.h"
#include "can_fixture.h"
#include "device/dev_cntrl.h"

namespace ferry::test {

// Names of the host operations in the order they were called (the activity
// signal of every transfer is left out).
inline std::vector<std::string> &host_calls() {
  static std::vector<std::string> calls;
  return calls;
}

// What the recording operations answer, by name; absent: success.
inline std::vector<std::pair<std::string, u_err_t>> &host_answers() {
  static std::vector<std::pair<std::string, u_err_t>> answers;
  return answers;
}

inline u_err_t host_call(const char *name) {
  host_calls().emplace_back(name);
  for (const auto &[op, code] : host_answers())
    if (op == name)
      return code;
  return ERR_NONE;
}

inline can_host_ops recording_ops() {
  can_host_ops ops{};
  ops.can_agc_init = [](sys_info *) { return host_call("can_agc_init"); };
  ops.can_agc_stop_thread = [](sys_info *) { host_call("can_agc_stop_thread"); };
  ops.can_agc_start_thread = [](sys_info *) { host_call("can_agc_start_thread"); };
  ops.load_ramps = [](sys_info *) { return host_call("load_ramps"); };
  ops.sleep_mode_choose = [](sys_info *) { return host_call("sleep_mode_choose"); };
  ops.sleep_timer_start = [](sys_info *) { return host_call("sleep_timer_start"); };
  ops.sleep_thread_stop = [](sys_info *) { return host_call("sleep_thread_stop"); };
  ops.light_level_setup = [](sys_info *) { return host_call("light_level_setup"); };
  ops.light_level_mode = [](sys_info *) { return host_call("light_level_mode"); };
  ops.light_level_store = [](sys_info *) { host_call("light_level_store"); };
  ops.pedestal_file_name = [](sys_info *) { return host_call("pedestal_file_name"); };
  ops.wave_monitor_setup = [](sys_info *) { return host_call("wave_monitor_setup"); };
  return ops;
}

inline std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names)
    text += (text.empty() ? "" : " ") + name;
  return text;
}

// Product IDs the families accept.
inline constexpr uint32_t kLedProduct = 0x2672137D;
inline constexpr uint32_t kBrushMotorD5 = 0x267215D5;
inline constexpr uint32_t kBrushMotorD7 = 0x267215D7;

// The staged instruments.
enum class Family { A, B, Kps, Type26 };

class PowerTest : public CanTest {
public:
  // Failure cases change the staged instrument from outside.
  using CanTest::instr;

  void stage(Family family) {
    switch (family) {
    case Family::A:
      return stage_family_a();
    case Family::B:
      return stage_family_b();
    case Family::Kps:
      return stage_kps();
    case Family::Type26:
      return stage_type26();
    }
  }

protected:
  void SetUp() override {
    CanTest::SetUp();
    host_calls().clear();
    host_answers().clear();
    can_host_ops ops = recording_ops();
    can_set_host_ops(&ops);
    saved_abort_ = u_abort_hook;
    sim->add_bridge(kMac, kIp);
    sim->set_firmware(2, 5);
  }

  void TearDown() override {
    if (dev_is_registered(DEV_CAN_HANDLE))
      dev_remove_device(DEV_CAN_HANDLE);
    u_abort_hook = saved_abort_;
    CanTest::TearDown();
  }

  // Nodes present on the bus, with the product IDs the checks want.
  void add_nodes(std::initializer_list<uint8_t> nodes) {
    for (uint8_t node : nodes) {
      uint32_t product = node == CAN_NODE_ID_LED          ? kLedProduct
                         : node == CAN_NODE_ID_BRUSHMOTOR ? kBrushMotorD5
                                                          : 0x1000u + node;
      uint16_t major = node == CAN_NODE_ID_FOCUS_NDW ? 4 : 1;
      uint16_t minor = node == CAN_NODE_ID_FOCUS_NDW ? 3 : 0;
      sim->add_node(node, product, major, minor);
    }
  }

  // Family a (type 11): LED, dual brush motor with an encoded turret and a
  // motorized zoom.
  void stage_family_a(int32_t type = 11) {
    instr.sys_type = type;
    instr.can.expected.brush_motor = 1;
    instr.can.turret_type = SYS_INFO_TURRET_ENCODED;
    instr.can.zoom_type = SYS_INFO_ZOOM_MOTORIZED;
    instr.can.led_pwm_freq = 20000;
    instr.can.led_setup = 1;
    instr.can.llc_range = 0;
    instr.can.llc_range_current[0] = 700;
    instr.can.llc_range_voltage[0] = 3000;
    instr.can.syncgen_rate = 60;
    add_nodes({CAN_NODE_ID_RAMP, CAN_NODE_ID_LED, CAN_NODE_ID_BRUSHMOTOR});
  }

  // Family b (type 29): as a, with the triple PZT, a digital scanner and a
  // brush motor whose encoded zoom maps its readings.
  void stage_family_b() {
    instr.sys_type = 29;
    instr.can.expected.brush_motor = 1;
    instr.can.expected.triple_pzt = 1;
    instr.can.turret_type = SYS_INFO_TURRET_MOTORIZED;
    instr.can.zoom_type = SYS_INFO_ZOOM_ENCODED;
    instr.can.digital_scanner = 1;
    instr.can.digital_scanner_kind = 1;
    instr.can.led_pwm_freq = 1000;
    instr.can.led_setup = 2;
    instr.can.llc_range = 1;
    instr.can.llc_range_current[1] = 900;
    instr.can.syncgen_rate = 30;
    add_nodes({CAN_NODE_ID_RAMP, CAN_NODE_ID_LED, CAN_NODE_ID_TRIPLEPZT});
    sim->add_node(CAN_NODE_ID_BRUSHMOTOR, kBrushMotorD7, 1, 0);
  }

  // KPS family (type 30, secondary type 29): triple PZT, primary wand, both
  // diffuser disks with the ring/spot disk at position 1, the focus and ND
  // wheel node with the encoded zoom; keys and motors off at the start.
  void stage_kps() {
    instr.sys_type = 30;
    instr.sys_type2 = 29;
    instr.can.expected = {};
    instr.can.expected.triple_pzt = 1;
    instr.can.expected.wand = 1;
    instr.can.expected.dd_zoom = 1;
    instr.can.expected.dd_rs = 1;
    instr.can.expected.focus_ndw = 1;
    instr.can.zoom_dd_target_vel = 1500;
    instr.can.syncgen_rate = 45;
    add_nodes({CAN_NODE_ID_RAMP, CAN_NODE_ID_TRIPLEPZT, CAN_NODE_ID_WAND, CAN_NODE_ID_DD_ZOOM,
               CAN_NODE_ID_DD_RS, CAN_NODE_ID_FOCUS_NDW});
    sim->set_object_value(CAN_NODE_ID_DD_ZOOM, 0x2044, 8, 0, 1);
    sim->set_object_value(CAN_NODE_ID_FOCUS_NDW, 0x2044, 8, 0, 1);
    sim->set_object_value(CAN_NODE_ID_DD_RS, 0x2047, 0, 2, 1);
    sim->set_motion_polls(CAN_NODE_ID_DD_RS, 2);
    sim->set_homing(2, 0x00, 1);
  }

  // Type 26: primary wand, focus and ND wheel, auxiliary motor.
  void stage_type26() {
    instr.sys_type = 26;
    instr.can.expected = {};
    instr.can.expected.wand = 1;
    instr.can.expected.focus_ndw = 1;
    instr.can.syncgen_rate = 50;
    add_nodes({CAN_NODE_ID_RAMP, CAN_NODE_ID_WAND, CAN_NODE_ID_FOCUS_NDW, CAN_NODE_ID_AUX_MOTOR});
    sim->set_object_value(CAN_NODE_ID_FOCUS_NDW, 0x2044, 8, 0, 1);
    sim->set_motion_polls(CAN_NODE_ID_AUX_MOTOR, 1);
    sim->set_homing(1, 0x00, 1);
  }

  // The writes of the log, one line each: node, index/subindex = value, in
  // hexadecimal.
  std::string write_log() const {
    std::string text;
    char line[64];
    for (const cansim_access &a : accesses()) {
      if (a.kind != 'W')
        continue;
      std::snprintf(line, sizeof line, "%02X %04X/%u = %llX\n", a.node, a.index, a.subindex,
                    static_cast<unsigned long long>(a.value));
      text += line;
    }
    return text;
  }

  // The messages, with every time stamp written as "[T] ".
  std::string transcript() const {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    return std::regex_replace(messages.text(), stamp, "[T] ");
  }

  // Everything a failed power-on must have undone.
  void expect_nothing_left(const std::string &what) {
    EXPECT_EQ(sim->connected_ip(), 0u) << what;
    EXPECT_FALSE(dev_is_registered(DEV_CAN_HANDLE)) << what;
    EXPECT_EQ(sim->handlers_registered(), 0) << what;
    EXPECT_EQ(sim->registered_pdos(nullptr, 0), 0u) << what;
    EXPECT_EQ(can_agc_holds(), 0) << what;
    EXPECT_EQ(instr.can.ndw_stopped, nullptr) << what;
    auto count = [](const char *name) {
      int n = 0;
      for (const std::string &call : host_calls())
        n += call == name;
      return n;
    };
    EXPECT_EQ(count("can_agc_stop_thread"), count("can_agc_start_thread")) << what;
  }

private:
  u_abort_fn saved_abort_ = nullptr;
};

} // namespace ferry::test
