// Every accessor of the node object table, driven by one table: the object
// it reaches, its group's precondition and the code a node's abort becomes.

#include <cstring>
#include <limits>
#include <stdexcept>

#include "can/can_accessors.h"
#include "can/can_moves.h"
#include "can_fixture.h"
#include "ramps/ramp_file.h"

namespace ferry::test {
namespace {

enum class Group {
  Dmd,
  Rs,
  ZoomDd,
  Ndw,
  Focus,
  BrMotor,
  Led,
  Ramper,
  Bridge,
  Pzt,
  EncZoom,
  Identity
};

struct GroupExpect {
  Group group;
  u_err_t precondition_code; // 0: no precondition
  const char *missing;       // the node-missing message, or null
  u_err_t abort_code;
};

constexpr GroupExpect kGroups[] = {
    {Group::Dmd, ERR_INVALID_PARAM, nullptr, ERR_CAN_SDO_DMD_ERROR},
    {Group::Rs, ERR_CAN_NODE_NOT_AVAIL,
     "%s: CAN Ring-of-Fire and Diffuser Disk node is not available\n", ERR_CAN_SDO_ROF_ERROR},
    {Group::ZoomDd, ERR_CAN_NODE_NOT_AVAIL,
     "%s: CAN Zoom and Diffuser Disk node is not available\n", ERR_CAN_SDO_ZOOM_ERROR},
    {Group::Ndw, ERR_CAN_NODE_NOT_AVAIL, "%s: CAN Focus and ND Wheel node is not available\n",
     ERR_CAN_SDO_NDW_ERROR},
    {Group::Focus, ERR_CAN_NODE_NOT_AVAIL, "%s: CAN Focus and ND Wheel node is not available\n",
     ERR_CAN_SDO_FZM_ERROR},
    {Group::BrMotor, ERR_WRONG_INSTR_BOARD, nullptr, ERR_CAN_SDO_BRMOTOR_ERROR},
    {Group::Led, ERR_WRONG_INSTR_BOARD, nullptr, ERR_CAN_SDO_LED_ERROR},
    {Group::Ramper, ERR_WRONG_INSTR_BOARD, nullptr, ERR_CAN_SDO_RAMP_ERROR},
    {Group::Bridge, ERR_WRONG_INSTR_BOARD, nullptr, ERR_CAN_SDO_BRIDGE_ERROR},
    {Group::Pzt, ERR_WRONG_INSTR_BOARD, nullptr, ERR_CAN_SDO_PZT_ERROR},
    {Group::EncZoom, ERR_NONE, nullptr, ERR_CAN_SDO_ENC_ZOOM_ERROR},
    {Group::Identity, ERR_NONE, nullptr, ERR_CAN_ERROR},
};

const GroupExpect &expect_of(Group group) {
  for (const GroupExpect &g : kGroups)
    if (g.group == group)
      return g;
  throw std::logic_error("group without expectations");
}

constexpr uint8_t kGenericNode = 0x42;
// A ramp whose trigger falls on frame 200: 4000 samples at 50 kHz, 2500 Hz.
rr_ramp trigger_ramp() {
  rr_ramp ramp{};
  ramp.hdr.trigStartAddr = 4000;
  ramp.hdr.sampleClkFreq = 50.0f;
  ramp.hdr.cameraRate = 2500.0f;
  return ramp;
}
uint16_t ramp_samples[CAN_RAMP_DATA_SAMPLES] = {0x0102};

using Call = u_err_t (*)(sys_info *, uint64_t *);

struct Case {
  const char *accessor;
  Call call;
  Group group;
  const char *caller; // the name its transfer reports under
  char kind;
  uint8_t node;
  uint16_t index;
  uint8_t subindex;
  uint32_t size;
  uint64_t value; // written, or held by the object for a read
  int64_t out;    // what a read hands back (-1: not checked)
  bool scanner;   // needs the digital scanner
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.accessor;
}

template <typename T> uint64_t widen(T value) {
  return static_cast<uint64_t>(value);
}

#define RD(fn, T, ...)                                                                             \
  [](sys_info *s, uint64_t *o) {                                                                   \
    T v{};                                                                                         \
    u_err_t e = fn(s, __VA_OPT__(__VA_ARGS__, ) & v);                                              \
    *o = widen(v);                                                                                 \
    return e;                                                                                      \
  }
#define WR(fn, ...) [](sys_info *s, uint64_t *) { return fn(s __VA_OPT__(, ) __VA_ARGS__); }

// clang-format off
const Case kCases[] = {
  {"can_read_dmd_motor1_control", RD(can_read_dmd_motor1_control, uint8_t, kGenericNode), Group::Dmd, "can_read_dmd_motor1_control", 'R', kGenericNode, 0x2000, 0, 1, 0x5A, 0x5A, false},
  {"can_write_dmd_motor1_control", WR(can_write_dmd_motor1_control, kGenericNode, 0x01), Group::Dmd, "can_write_dmd_motor1_control", 'W', kGenericNode, 0x2000, 0, 1, 0x01, -1, false},
  {"can_write_dmd_motor1_mode", WR(can_write_dmd_motor1_mode, kGenericNode, 3), Group::Dmd, "can_write_dmd_motor1_mode", 'W', kGenericNode, 0x2002, 0, 1, 3, -1, false},
  {"can_write_dmd_motor1_targetVel", WR(can_write_dmd_motor1_targetVel, kGenericNode, 0x12345678), Group::Dmd, "can_write_dmd_motor1_targetVel", 'W', kGenericNode, 0x2004, 0, 4, 0x12345678, -1, false},
  {"can_write_dmd_motor2_control", WR(can_write_dmd_motor2_control, kGenericNode, 0x07), Group::Dmd, "can_write_dmd_motor2_control", 'W', kGenericNode, 0x2020, 0, 1, 0x07, -1, false},
  {"can_read_dmd_motor2_status", RD(can_read_dmd_motor2_status, uint8_t, kGenericNode), Group::Dmd, "can_read_dmd_motor2_status", 'R', kGenericNode, 0x2021, 0, 1, 0x81, 0x81, false},
  {"can_read_dmd_motor2_llcLevel", RD(can_read_dmd_motor2_llcLevel, uint16_t, kGenericNode), Group::Dmd, "can_read_dmd_motor2_llcLevel", 'R', kGenericNode, 0x2028, 0, 2, 0x1234, 0x1234, false},
  {"can_write_dmd_motor2_llcLevel", WR(can_write_dmd_motor2_llcLevel, kGenericNode, 0x1234), Group::Dmd, "can_write_dmd_motor2_llcLevel", 'W', kGenericNode, 0x2028, 0, 2, 0x1234, -1, false},
  {"can_write_dmd_motor2_current", WR(can_write_dmd_motor2_current, kGenericNode, -500), Group::Dmd, "can_write_dmd_motor2_current", 'W', kGenericNode, 0x2034, 0, 2, 0xFE0C, -1, false},
  {"can_read_dmd_motor2_maxCurrent", RD(can_read_dmd_motor2_maxCurrent, int16_t, kGenericNode), Group::Dmd, "can_read_dmd_motor2_maxCurrent", 'R', kGenericNode, 0x2036, 0, 2, 0x0320, 0x0320, false},
  {"can_read_dmd_motor2_position", RD(can_read_dmd_motor2_position, uint8_t, kGenericNode), Group::Dmd, "can_read_dmd_motor2_position", 'R', kGenericNode, 0x2047, 0, 1, 2, 2, false},
  {"can_read_dmd_keypress_mode", RD(can_read_dmd_keypress_mode, uint8_t, kGenericNode), Group::Dmd, "can_read_dmd_keypress_mode", 'R', kGenericNode, 0x2044, 8, 1, 0x06, 0x06, false},
  {"can_write_dmd_keypress_mode", WR(can_write_dmd_keypress_mode, kGenericNode, 0x06), Group::Dmd, "can_write_dmd_keypress_mode", 'W', kGenericNode, 0x2044, 8, 1, 0x06, -1, false},

  {"can_read_rs_dd_control", RD(can_read_rs_dd_control, uint8_t), Group::Rs, "can_read_dmd_motor1_control", 'R', 0x44, 0x2000, 0, 1, 0x01, 0x01, false},
  {"can_write_rs_dd_control", WR(can_write_rs_dd_control, 0x01), Group::Rs, "can_write_dmd_motor1_control", 'W', 0x44, 0x2000, 0, 1, 0x01, -1, false},
  {"can_write_rs_dd_mode", WR(can_write_rs_dd_mode, 1), Group::Rs, "can_write_dmd_motor1_mode", 'W', 0x44, 0x2002, 0, 1, 1, -1, false},
  {"can_read_rs_status", RD(can_read_rs_status, uint8_t), Group::Rs, "can_read_dmd_motor2_status", 'R', 0x44, 0x2021, 0, 1, 0x02, 0x02, false},
  {"can_write_rs_current", WR(can_write_rs_current, 700), Group::Rs, "can_write_dmd_motor2_current", 'W', 0x44, 0x2034, 0, 2, 700, -1, false},
  {"can_read_rs_maxCurrent", RD(can_read_rs_maxCurrent, int16_t), Group::Rs, "can_read_dmd_motor2_maxCurrent", 'R', 0x44, 0x2036, 0, 2, 900, 900, false},
  {"can_read_rs_position", RD(can_read_rs_position, uint8_t), Group::Rs, "can_read_dmd_motor2_position", 'R', 0x44, 0x2047, 0, 1, 1, 1, false},
  {"can_read_rs_keypress_mode", RD(can_read_rs_keypress_mode, uint8_t), Group::Rs, "can_read_dmd_keypress_mode", 'R', 0x44, 0x2044, 8, 1, 0x03, 0x03, false},
  {"can_write_rs_keypress_mode", WR(can_write_rs_keypress_mode, 0x02), Group::Rs, "can_write_dmd_keypress_mode", 'W', 0x44, 0x2044, 8, 1, 0x02, -1, false},

  {"can_read_zoom_dd_control", RD(can_read_zoom_dd_control, uint8_t), Group::ZoomDd, "can_read_dmd_motor1_control", 'R', 0x46, 0x2000, 0, 1, 0x01, 0x01, false},
  {"can_write_zoom_dd_control", WR(can_write_zoom_dd_control, 0x00), Group::ZoomDd, "can_write_dmd_motor1_control", 'W', 0x46, 0x2000, 0, 1, 0x00, -1, false},
  {"can_write_zoom_dd_mode", WR(can_write_zoom_dd_mode, 0), Group::ZoomDd, "can_write_dmd_motor1_mode", 'W', 0x46, 0x2002, 0, 1, 0, -1, false},
  {"can_write_zoom_dd_targetVel", WR(can_write_zoom_dd_targetVel, 3000), Group::ZoomDd, "can_write_dmd_motor1_targetVel", 'W', 0x46, 0x2004, 0, 4, 3000, -1, false},
  {"can_read_zoom_keypress_mode", RD(can_read_zoom_keypress_mode, uint8_t), Group::ZoomDd, "can_read_dmd_keypress_mode", 'R', 0x46, 0x2044, 8, 1, 0x02, 0x02, false},
  {"can_write_zoom_keypress_mode", WR(can_write_zoom_keypress_mode, 0x02), Group::ZoomDd, "can_write_dmd_keypress_mode", 'W', 0x46, 0x2044, 8, 1, 0x02, -1, false},

  {"can_read_ndw_llcLevel", RD(can_read_ndw_llcLevel, uint16_t), Group::Ndw, "can_read_dmd_motor2_llcLevel", 'R', 0x40, 0x2028, 0, 2, 0x0FA0, 0x0FA0, false},
  {"can_write_ndw_llcLevel", WR(can_write_ndw_llcLevel, 0x0FA0), Group::Ndw, "can_write_dmd_motor2_llcLevel", 'W', 0x40, 0x2028, 0, 2, 0x0FA0, -1, false},
  {"can_write_ndw_control", WR(can_write_ndw_control, 0x01), Group::Ndw, "can_write_dmd_motor2_control", 'W', 0x40, 0x2020, 0, 1, 0x01, -1, false},
  {"can_read_ndw_status", RD(can_read_ndw_status, uint8_t), Group::Ndw, "can_read_dmd_motor2_status", 'R', 0x40, 0x2021, 0, 1, 0x10, 0x10, false},
  {"can_read_focus_keypress_mode", RD(can_read_focus_keypress_mode, uint8_t), Group::Focus, "can_read_dmd_keypress_mode", 'R', 0x40, 0x2044, 8, 1, 0x02, 0x02, false},
  {"can_write_focus_keypress_mode", WR(can_write_focus_keypress_mode, 0x02), Group::Focus, "can_write_dmd_keypress_mode", 'W', 0x40, 0x2044, 8, 1, 0x02, -1, false},

  {"can_read_turret_status", RD(can_read_turret_status, uint8_t), Group::BrMotor, "can_read_turret_status", 'R', 0x3F, 0x2001, 0, 1, 0x83, 0x83, false},
  {"can_read_turret", RD(can_read_turret, uint8_t), Group::BrMotor, "can_read_turret", 'R', 0x3F, 0x2002, 0, 1, 4, 4, false},
  {"can_read_zoom", RD(can_read_zoom, int32_t), Group::BrMotor, "can_read_zoom", 'R', 0x3F, 0x2012, 0, 1, 5, 5, false},
  {"can_read_all_zoom", WR(can_read_all_zoom), Group::BrMotor, "can_read_all_zoom", 'R', 0x3F, 0x2015, 0, 6, 0x050403020100, -1, false},
  {"can_get_brmtr_config", [](sys_info *s, uint64_t *o) { int32_t z = 0, t = 0; u_err_t e = can_get_brmtr_config(s, &z, &t); *o = uint64_t(z) | uint64_t(t) << 8; return e; }, Group::BrMotor, "can_get_brmtr_config", 'R', 0x3F, 0x2020, 1, 2, 0xFDFE, 0x0506, false},

  {"can_write_led_setup", WR(can_write_led_setup, 0x03), Group::Led, "can_write_led_setup", 'W', 0x3D, 0x2000, 0, 1, 0x03, -1, false},
  {"can_write_llc", WR(can_write_llc, 0x8000), Group::Led, "can_write_llc", 'W', 0x3D, 0x2001, 0, 2, 0x8000, -1, false},
  {"can_read_llc", RD(can_read_llc, uint16_t), Group::Led, "can_read_llc", 'R', 0x3D, 0x2001, 0, 2, 0x7FFF, 0x7FFF, false},
  {"can_write_llc_avgcurlmt", WR(can_write_llc_avgcurlmt, 1200), Group::Led, "can_write_llc_avgcurlmt", 'W', 0x3D, 0x2002, 0, 2, 1200, -1, false},
  {"can_write_llc_fwdvlt", WR(can_write_llc_fwdvlt, 3900), Group::Led, "can_write_llc_fwdvlt", 'W', 0x3D, 0x2004, 0, 2, 3900, -1, false},
  {"can_write_llc_pwmfreq", WR(can_write_llc_pwmfreq, 100000), Group::Led, "can_write_llc_pwmfreq", 'W', 0x3D, 0x2006, 0, 4, 100000, -1, false},
  {"can_set_llc_range", WR(can_set_llc_range, 2), Group::Led, "can_write_llc_fwdvlt", 'W', 0x3D, 0x2004, 0, 2, 4500, -1, false},

  {"can_ramp_start", WR(can_ramp_start), Group::Ramper, "can_ramp_start", 'W', 0x7F, 0x2000, 0, 1, 1, -1, false},
  {"can_read_ramp_status", RD(can_read_ramp_status, uint8_t), Group::Ramper, "can_read_ramp_status", 'R', 0x7F, 0x2000, 0, 1, 0, 0, false},
  {"can_write_ramp_select", WR(can_write_ramp_select, 2), Group::Ramper, "can_write_ramp_select", 'W', 0x7F, 0x2001, 0, 1, 2, -1, false},
  {"can_read_ramp_valid", RD(can_read_ramp_valid, uint8_t, 3), Group::Ramper, "can_read_ramp_valid", 'R', 0x7F, 0x2006, 1, 1, 1, 1, false},
  {"can_write_ramp_trigger", [](sys_info *s, uint64_t *) { rr_ramp r = trigger_ramp(); return can_write_ramp_trigger(s, 1, &r); }, Group::Ramper, "can_write_ramp_trigger", 'W', 0x7F, 0x2004, 2, 2, 200, -1, false},
  {"can_write_ramp_rate", WR(can_write_ramp_rate, 2, 0x00ABCDEF), Group::Ramper, "can_write_ramp_rate", 'W', 0x7F, 0x2005, 4, 4, 0x00ABCDEF, -1, false},
  {"can_write_ramp_data", WR(can_write_ramp_data, 3, ramp_samples), Group::Ramper, "can_write_ramp_data", 'W', 0x7F, 0x2006, 5, 32768, 0x0102, -1, false},
  {"can_write_pifoc_offset", WR(can_write_pifoc_offset, 0x4321, false), Group::Ramper, "can_write_pifoc_offset", 'W', 0x7F, 0x2009, 1, 2, 0x4321, -1, false},
  {"can_bridge_read_config", RD(can_bridge_read_config, uint16_t), Group::Ramper, "can_bridge_read_config", 'R', 0x7F, 0x2010, 2, 2, 0x2900, 0x2900, false},
  {"can_bridge_write_config", WR(can_bridge_write_config, 0x2100), Group::Ramper, "can_bridge_write_config", 'W', 0x7F, 0x2010, 2, 2, 0x2100, -1, false},
  {"can_write_fg_trigger", WR(can_write_fg_trigger, 0x0134), Group::Ramper, "can_write_fg_trigger", 'W', 0x7F, 0x2010, 5, 1, 0x34, -1, false},
  {"can_write_syncgen", WR(can_write_syncgen, 60000), Group::Ramper, "can_write_syncgen", 'W', 0x7F, 0x2030, 0, 4, 60000, -1, false},
  {"can_pi_ramp_start", WR(can_pi_ramp_start), Group::Ramper, "can_pi_ramp_start", 'W', 0x7F, 0x2041, 6, 1, 1, -1, true},
  {"can_write_pi_ramp_select", WR(can_write_pi_ramp_select, 77), Group::Ramper, "can_write_pi_ramp_select", 'W', 0x7F, 0x2041, 1, 1, 77, -1, true},
  {"can_read_pi_ramp_status", RD(can_read_pi_ramp_status, uint8_t), Group::Ramper, "can_read_pi_ramp_status", 'R', 0x7F, 0x2041, 11, 2, 0x0100, 3, true},
  {"can_read_pi_ramp_amplitude", [](sys_info *s, uint64_t *o) { float v = 0; u_err_t e = can_read_pi_ramp_amplitude(s, &v); *o = uint64_t(v * 4); return e; }, Group::Ramper, "can_read_pi_ramp_amplitude", 'R', 0x7F, 0x2041, 2, 4, 0x40200000, 10, false},
  {"can_read_pi_ramp_velocity", [](sys_info *s, uint64_t *o) { float v = 0; u_err_t e = can_read_pi_ramp_velocity(s, &v); *o = uint64_t(v * 4); return e; }, Group::Ramper, "can_read_pi_ramp_velocity", 'R', 0x7F, 0x2041, 3, 4, 0x3F000000, 2, false},
  {"can_pi_load_ddl_tables", RD(can_pi_load_ddl_tables, int32_t), Group::Ramper, "can_read_pi_serial_integer", 'R', 0x7F, 0x2041, 20, 2, 12, 12, false},

  {"can_read_bridge_status", RD(can_read_bridge_status, uint8_t), Group::Bridge, "can_read_bridge_status", 'R', 0x7F, 0x2010, 1, 1, 0x08, 0x08, false},
  {"can_bridge_write_digitalout", WR(can_bridge_write_digitalout, 0x04), Group::Bridge, "can_bridge_write_digitalout", 'W', 0x7F, 0x6200, 1, 1, 0x04, -1, false},
  {"can_bridge_read_digitalout", RD(can_bridge_read_digitalout, uint8_t), Group::Bridge, "can_bridge_read_digitalout", 'R', 0x7F, 0x6200, 1, 1, 0x05, 0x05, false},
  {"can_set_align_illumination_diode", WR(can_set_align_illumination_diode, false), Group::Bridge, "can_set_align_illumination_diode", 'W', 0x7F, 0x6200, 1, 1, 0x01, -1, false},

  {"can_read_pztramp_errchk", RD(can_read_pztramp_errchk, uint32_t), Group::Pzt, "can_read_pztramp_errchk", 'R', 0x3E, 0x1002, 0, 4, 0x40, 0x40, false},
  {"kps_enc_zoom_set_motion_mode", WR(kps_enc_zoom_set_motion_mode), Group::EncZoom, "kps_enc_zoom_set_motion_mode", 'W', 0x40, 0x2002, 0, 1, 3, -1, false},
  {"kps_enc_zoom_set_soft_limits", [](sys_info *, uint64_t *) { return kps_enc_zoom_set_soft_limits(-100, 250000); }, Group::EncZoom, "kps_enc_zoom_set_soft_limits", 'W', 0x40, 0x607D, 2, 4, 250000, -1, false},
  {"kps_enc_zoom_write_backlash", [](sys_info *, uint64_t *) { return kps_enc_zoom_write_backlash(40); }, Group::EncZoom, "kps_enc_zoom_set_backlash", 'W', 0x40, 0x2019, 0, 4, 40, -1, false},
  {"can_read_productID", RD(can_read_productID, uint32_t, 0x3D), Group::Identity, "can_read_productID", 'R', 0x3D, 0x1018, 2, 4, 0x2672137D, 0x2672137D, false},
  {"can_read_version", [](sys_info *s, uint64_t *o) { uint16_t ma = 0, mi = 0; u_err_t e = can_read_version(s, 0x3D, &ma, &mi); *o = uint64_t(ma) << 16 | mi; return e; }, Group::Identity, "can_read_version", 'R', 0x3D, 0x1018, 3, 4, 0x0003000B, 0x0003000B, false},
};
// clang-format on

#undef RD
#undef WR

class AccessorTable : public CanTest, public ::testing::WithParamInterface<Case> {
protected:
  void SetUp() override {
    CanTest::SetUp();
    connect();
    for (uint8_t node : {0x3D, 0x3E, 0x3F, 0x40, 0x42, 0x44, 0x46, 0x7F})
      sim->add_node(node, 0x100 + node, 1, 0);
    instr.can.present = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    instr.can.turret_type = SYS_INFO_TURRET_ENCODED;
    instr.can.zoom_type = SYS_INFO_ZOOM_MOTORIZED;
    instr.can.ddl_tables = 1;
    instr.can.digital_scanner = GetParam().scanner;
    instr.can.digital_scanner_kind = 2;
    bridge.fw_major = 1;
    const Case &c = GetParam();
    if (c.kind == 'R') {
      uint8_t bytes[8];
      for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<uint8_t>(c.value >> (8 * i));
      sim->set_object(c.node, c.index, c.subindex, bytes, c.size < 8 ? c.size : 8);
    }
    sim->clear_log();
  }
};

TEST_P(AccessorTable, ReachesItsObject) {
  const Case &c = GetParam();
  uint64_t out = 0;
  ASSERT_EQ(c.call(&instr, &out), ERR_NONE) << messages.text();
  std::vector<cansim_access> log = accesses();
  ASSERT_FALSE(log.empty());
  const cansim_access &last = log.back();
  EXPECT_EQ(last.kind, c.kind);
  EXPECT_EQ(last.node, c.node);
  EXPECT_EQ(last.index, c.index);
  EXPECT_EQ(last.subindex, c.subindex);
  EXPECT_EQ(last.size, c.size);
  if (c.kind == 'W') {
    EXPECT_EQ(last.value, c.value);
  }
  if (c.out >= 0) {
    EXPECT_EQ(out, static_cast<uint64_t>(c.out));
  }
}

TEST_P(AccessorTable, RefusesWhenItsGroupsPreconditionFails) {
  const Case &c = GetParam();
  const GroupExpect &g = expect_of(c.group);
  if (g.precondition_code == ERR_NONE)
    GTEST_SKIP() << "no precondition in this group";
  if (g.missing)
    instr.can.present = {};
  else
    instr.instrBdType = 5;
  uint64_t out = 0;
  EXPECT_EQ(c.call(&instr, &out), g.precondition_code);
  EXPECT_EQ(sim->access_count(), 0u) << "nothing may reach the node";
  if (g.missing) {
    char message[200];
    std::snprintf(message, sizeof message, g.missing, c.accessor);
    EXPECT_TRUE(stamped(message)) << messages.text();
  }
}

TEST_P(AccessorTable, TurnsANodeAbortIntoItsGroupsCode) {
  const Case &c = GetParam();
  sim->abort_sdo(c.node, c.index, c.subindex, 0x08000020, 0, -1);
  uint64_t out = 0;
  EXPECT_EQ(c.call(&instr, &out), expect_of(c.group).abort_code);
  EXPECT_NE(messages.text().find(std::string(" called by ") + c.caller + ": err="),
            std::string::npos)
      << messages.text();
  EXPECT_NE(messages.text().find("abortcode=08000020\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Can, AccessorTable, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.accessor); });

// --- Behaviours beyond the plain transfer ---------------------------------

class Accessors : public CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    connect();
    for (uint8_t node : {0x3D, 0x3F, 0x40, 0x44, 0x7F})
      sim->add_node(node, 0, 1, 0);
    instr.can.present = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    sim->clear_log();
  }
  cansim_access last() const { return accesses().back(); }
};

TEST_F(Accessors, ModeAboveFourIsRefusedWithItsMessage) {
  EXPECT_EQ(can_write_dmd_motor1_mode(&instr, 0x44, 4), ERR_NONE);
  EXPECT_EQ(can_write_rs_dd_mode(&instr, 5), ERR_INVALID_PARAM);
  EXPECT_TRUE(plain("can_write_dmd_motor1_mode: invalid mode=5\n")) << messages.text();
  EXPECT_EQ(sim->access_count(), 1u);
}

TEST_F(Accessors, LightLevelsAreInvertedWhenConfigured) {
  instr.can.llc_inverted = 1;
  instr.can.ndw_llc_inverted = 1;
  ASSERT_EQ(can_write_llc(&instr, 1000), ERR_NONE);
  EXPECT_EQ(last().value, 64535u);
  ASSERT_EQ(can_write_ndw_llcLevel(&instr, 0), ERR_NONE);
  EXPECT_EQ(last().value, 65535u);
  sim->set_object_value(0x3D, 0x2001, 0, 65000, 2);
  sim->set_object_value(0x40, 0x2028, 0, 35, 2);
  uint16_t led = 0, wheel = 0;
  ASSERT_EQ(can_read_llc(&instr, &led), ERR_NONE);
  ASSERT_EQ(can_read_ndw_llcLevel(&instr, &wheel), ERR_NONE);
  EXPECT_EQ(led, 535);
  EXPECT_EQ(wheel, 65500);
}

TEST_F(Accessors, LightLevelWriteCountsAsActivityOnlyWithoutGainControl) {
  static int activity = 0;
  static bool agc_running = false;
  activity = 0;
  can_host_ops ops{};
  ops.sleep_activity = [] { ++activity; };
  ops.agc_thread_running = [] { return agc_running; };
  can_set_host_ops(&ops);
  agc_running = true;
  ASSERT_EQ(can_write_ndw_llcLevel(&instr, 10), ERR_NONE);
  EXPECT_EQ(activity, 0);
  agc_running = false;
  ASSERT_EQ(can_write_ndw_llcLevel(&instr, 10), ERR_NONE);
  EXPECT_EQ(activity, 1);
}

TEST_F(Accessors, CurrentWriteReadsTheMaximumFirstAndStopsWhenItFails) {
  ASSERT_EQ(can_write_rs_current(&instr, -800), ERR_NONE);
  std::vector<cansim_access> log = accesses();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].kind, 'R');
  EXPECT_EQ(log[0].index, 0x2036);
  EXPECT_EQ(log[1].kind, 'W');
  EXPECT_EQ(log[1].index, 0x2034);
  sim->clear_log();
  sim->abort_sdo(0x44, 0x2036, 0, 0x06020000, 0, 1);
  EXPECT_EQ(can_write_rs_current(&instr, 100), ERR_CAN_SDO_ROF_ERROR);
  EXPECT_EQ(sim->access_count(), 1u) << "no write after a failed read";
}

TEST_F(Accessors, DigitalScannerStatusIsThreeForAnyNonZeroWord) {
  instr.can.digital_scanner = 1;
  uint8_t status = 9;
  bridge.fw_major = 6;
  bridge.fw_minor = 6;
  for (uint32_t word : {0x0000u, 0x0001u, 0x8000u}) {
    sim->set_object_value(0x7F, 0x2040, 0, word, 2);
    ASSERT_EQ(can_read_pi_ramp_status(&instr, &status), ERR_NONE);
    EXPECT_EQ(status, word ? 3 : 0) << word;
    EXPECT_EQ(last().index, 0x2040);
  }
  // 7.0 is not "at least 6.6" component by component: the old object.
  bridge.fw_major = 7;
  bridge.fw_minor = 0;
  ASSERT_EQ(can_read_pi_ramp_status(&instr, &status), ERR_NONE);
  EXPECT_EQ(last().index, 0x2041);
  EXPECT_EQ(last().subindex, 11);
  // Without the scanner it is refused; with it the ramper hands over.
  ASSERT_EQ(can_read_ramp_status(&instr, &status), ERR_NONE);
  EXPECT_EQ(last().index, 0x2041);
  instr.can.digital_scanner = 0;
  EXPECT_EQ(can_read_pi_ramp_status(&instr, &status), ERR_INVALID_PARAM);
}

TEST_F(Accessors, DigitalScannerRampNumbersFollowItsKind) {
  instr.can.digital_scanner = 1;
  struct {
    int32_t kind, ramp;
    u_err_t result;
  } cases[] = {{1, 1, ERR_NONE},
               {1, 15, ERR_NONE},
               {1, 16, ERR_PARAM_OUT_OF_RANGE},
               {2, 100, ERR_NONE},
               {2, 101, ERR_PARAM_OUT_OF_RANGE},
               {2, 0, ERR_PARAM_OUT_OF_RANGE},
               {3, 1, ERR_PARAM_OUT_OF_RANGE}};
  for (const auto &c : cases) {
    instr.can.digital_scanner_kind = c.kind;
    EXPECT_EQ(can_write_ramp_select(&instr, c.ramp), c.result) << c.kind << " " << c.ramp;
  }
  uint8_t valid = 0;
  sim->clear_log();
  EXPECT_EQ(can_read_ramp_valid(&instr, 99, &valid), ERR_NONE);
  EXPECT_EQ(valid, 1);
  EXPECT_EQ(sim->access_count(), 0u);
}

TEST_F(Accessors, DdlTablesLoadThenCountUnderTheirOwnName) {
  int32_t count = 0;
  EXPECT_EQ(can_pi_load_ddl_tables(&instr, &count), ERR_INVALID_PARAM);
  instr.can.ddl_tables = 1;
  sim->set_object_value(0x7F, 0x2041, 20, 7, 2);
  idle_calls = 0;
  ASSERT_EQ(can_pi_load_ddl_tables(&instr, &count), ERR_NONE);
  EXPECT_EQ(count, 7);
  EXPECT_EQ(idle_calls, 1);
  std::vector<cansim_access> log = accesses();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].kind, 'W');
  EXPECT_EQ(log[0].subindex, 19);
  EXPECT_EQ(log[0].value, 0u);
  sim->fail_call("CAN_SDORead", -3, 0, 1);
  EXPECT_EQ(can_pi_load_ddl_tables(&instr, &count), ERR_CAN_TIMEOUT);
  EXPECT_TRUE(plain("can_sdo_read2 called by can_read_pi_serial_integer: err=ERR_CAN_TIMEOUT\n"))
      << messages.text();
}

TEST_F(Accessors, AlignmentDiodeFollowsTheBridgeFirmware) {
  struct {
    uint8_t major, minor;
    bool on;
    std::vector<std::pair<uint16_t, uint64_t>> writes; // object index, value
  } cases[] = {
      {0, 12, true, {}},
      {10, 8, true, {{0x6200, 0xF6}}},
      {9, 20, false, {{0x6200, 0xF7}}},
      {10, 9, true, {{0x6240, 1}, {0x6220, 1}}},
      {11, 0, false, {{0x6240, 1}, {0x6220, 0}}},
  };
  for (const auto &c : cases) {
    bridge.fw_major = c.major;
    bridge.fw_minor = c.minor;
    sim->set_object_value(0x7F, 0x6200, 1, 0xF7, 1);
    sim->clear_log();
    ASSERT_EQ(can_set_align_illumination_diode(&instr, c.on), ERR_NONE);
    std::vector<std::pair<uint16_t, uint64_t>> writes;
    for (const cansim_access &a : accesses())
      if (a.kind == 'W')
        writes.emplace_back(a.index, a.value);
    EXPECT_EQ(writes, c.writes) << int(c.major) << "." << int(c.minor);
  }
  instr.can.bridge = nullptr;
  sim->clear_log();
  EXPECT_EQ(can_set_align_illumination_diode(&instr, true), ERR_NONE);
  EXPECT_EQ(sim->access_count(), 0u);
}

TEST_F(Accessors, FrameNumberOutsideAByteIsRefusedWithNothingWritten) {
  struct {
    int32_t trig;
    float clock, rate;
    const char *message; // null: written
  } cases[] = {
      {4078, 50.0f, 3125.0f, nullptr}, // 254.875 + 0.5 -> 255
      {4088, 50.0f, 3125.0f,
       "can_write_ramp_trigger: calculated frameNumber=256 outside of valid range\n"},
      {-400, 50.0f, 2500.0f,
       "can_write_ramp_trigger: calculated frameNumber=-19 outside of valid range\n"},
      {4000, 0.0f, 2500.0f, "can_write_ramp_trigger: frameNumber cannot be calculated\n"},
      {4000, 50.0f, std::numeric_limits<float>::infinity(),
       "can_write_ramp_trigger: frameNumber cannot be calculated\n"},
      {4000, 50.0f, std::numeric_limits<float>::quiet_NaN(),
       "can_write_ramp_trigger: frameNumber cannot be calculated\n"},
  };
  for (const auto &c : cases) {
    rr_ramp ramp{};
    ramp.hdr.trigStartAddr = c.trig;
    ramp.hdr.sampleClkFreq = c.clock;
    ramp.hdr.cameraRate = c.rate;
    sim->clear_log();
    messages.clear();
    u_err_t err = can_write_ramp_trigger(&instr, 0, &ramp);
    if (!c.message) {
      EXPECT_EQ(err, ERR_NONE);
      ASSERT_EQ(sim->access_count(), 1u);
      EXPECT_EQ(last().value, 255u);
      continue;
    }
    EXPECT_EQ(err, ERR_PARAM_OUT_OF_RANGE) << c.trig;
    EXPECT_EQ(sim->access_count(), 0u);
    EXPECT_TRUE(plain(c.message)) << messages.text();
  }
}

TEST_F(Accessors, RampSlotsAndOffsetsOutsideTheirRangeAreRefused) {
  uint8_t valid = 0;
  rr_ramp ramp{};
  EXPECT_EQ(can_write_ramp_select(&instr, 4), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(can_write_ramp_select(&instr, -1), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(can_read_ramp_valid(&instr, 4, &valid), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(can_write_ramp_trigger(&instr, 4, &ramp), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(can_write_ramp_rate(&instr, 4, 1), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(can_write_ramp_data(&instr, 4, ramp_samples), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(can_write_pifoc_offset(&instr, 65536, false), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(sim->access_count(), 0u);
  // A digital scanner has no PIFOC offset to write.
  instr.can.digital_scanner = 1;
  EXPECT_EQ(can_write_pifoc_offset(&instr, 100, true), ERR_NONE);
  EXPECT_EQ(sim->access_count(), 0u);
}

TEST_F(Accessors, PifocOffsetWaitPollsTheRampUntilIdle) {
  sim->set_ramp_busy_polls(5);
  idle_calls = 0;
  ASSERT_EQ(can_write_pifoc_offset(&instr, 1000, true), ERR_NONE);
  EXPECT_EQ(sim->call_count("CAN_SDORead"), 6u);
  EXPECT_EQ(idle_calls, 5);
  EXPECT_GT(instr.can.pifoc_offset_time, 0.0);
  sim->set_ramp_busy_polls(20);
  EXPECT_EQ(can_write_pifoc_offset(&instr, 1000, true), ERR_RAMP_WAIT_TIMEOUT);
}

TEST_F(Accessors, FrameGrabberTriggerIsTwoBytesOnNewerBridgeFirmware) {
  bridge.fw_major = 0;
  bridge.fw_minor = 12; // newer than 1.11 by its minor number alone
  ASSERT_EQ(can_write_fg_trigger(&instr, 0x0134), ERR_NONE);
  EXPECT_EQ(last().size, 2u);
  EXPECT_EQ(last().value, 0x0134u);
}

TEST_F(Accessors, LightCurrentRangesComeFromTheConfiguration) {
  instr.can.llc_range_current[0] = 700;
  instr.can.llc_range_voltage[0] = 0;
  instr.can.llc_range_current[1] = 0;
  instr.can.llc_range_voltage[1] = 3300;
  struct {
    int32_t range;
    std::vector<std::pair<uint16_t, uint64_t>> writes;
  } cases[] = {{0, {{0x2002, 700}}}, {1, {{0x2004, 3300}}}, {7, {{0x2002, 1000}, {0x2004, 4500}}}};
  for (const auto &c : cases) {
    sim->clear_log();
    ASSERT_EQ(can_set_llc_range(&instr, c.range), ERR_NONE);
    std::vector<std::pair<uint16_t, uint64_t>> writes;
    for (const cansim_access &a : accesses())
      writes.emplace_back(a.index, a.value);
    EXPECT_EQ(writes, c.writes) << c.range;
  }
  sim->fail_call("CAN_SDOWrite", -4, 0, 1);
  EXPECT_EQ(can_set_llc_range(&instr, 7), ERR_CAN_TCP_TRANSMISSION_ERROR);
  EXPECT_TRUE(plain("can_set_llc_range failed: ERR_CAN_TCP_TRANSMISSION_ERROR\n"))
      << messages.text();
}

TEST_F(Accessors, TurretAndZoomNeedTheirChangers) {
  uint8_t value = 0;
  int32_t zoom = 0;
  instr.can.turret_type = SYS_INFO_TURRET_NONE;
  instr.can.zoom_type = SYS_INFO_ZOOM_NONE;
  EXPECT_EQ(can_read_turret_status(&instr, &value), ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE);
  EXPECT_EQ(can_read_turret(&instr, &value), ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE);
  EXPECT_EQ(can_read_zoom(&instr, &zoom), ERR_ZOOM_NOT_AVAILABLE);
  EXPECT_EQ(can_read_all_zoom(&instr), ERR_ZOOM_NOT_AVAILABLE);
  EXPECT_EQ(sim->access_count(), 0u);
}

TEST_F(Accessors, ZoomReadingsFollowTheBrushMotorProduct) {
  instr.can.zoom_type = SYS_INFO_ZOOM_ENCODED;
  struct {
    uint32_t product;
    uint8_t raw;
    u_err_t result;
    int32_t position;
  } cases[] = {
      {0x267215D7, 1, ERR_NONE, 6},
      {0x267215D7, 7, ERR_NONE, 7},
      {0x267215D7, 8, ERR_PARAM_OUT_OF_RANGE, -99},
      {0x267215D5, 15, ERR_NONE, -2},
      {0x267215D5, 3, ERR_NONE, 3},
      {0x11111111, 15, ERR_NONE, 15},
  };
  for (const auto &c : cases) {
    bridge.brmotor_product_id = c.product;
    sim->set_object_value(0x3F, 0x2012, 0, c.raw, 1);
    int32_t position = -99;
    EXPECT_EQ(can_read_zoom(&instr, &position), c.result)
        << std::hex << c.product << " " << int(c.raw);
    EXPECT_EQ(position, c.position) << std::hex << c.product << " " << int(c.raw);
  }
}

TEST_F(Accessors, AllZoomFillsTheConfiguredPositions) {
  instr.can.zoom_type = SYS_INFO_ZOOM_MOTORIZED;
  instr.can.zoom_positions = 4;
  const uint8_t raw[6] = {3, 15, 1, 0, 2, 5};
  sim->set_object(0x3F, 0x2015, 0, raw, 6);
  ASSERT_EQ(can_read_all_zoom(&instr), ERR_NONE);
  EXPECT_EQ(std::vector<int32_t>(bridge.zoom_table, bridge.zoom_table + 6),
            (std::vector<int32_t>{3, -2, 1, 0, -2, -2}));
  // A failed read leaves no stale positions.
  sim->abort_sdo(0x3F, 0x2015, 0, 0x06020000, 0, 1);
  EXPECT_EQ(can_read_all_zoom(&instr), ERR_CAN_SDO_BRMOTOR_ERROR);
  EXPECT_EQ(std::vector<int32_t>(bridge.zoom_table, bridge.zoom_table + 6),
            std::vector<int32_t>(6, -2));
  // The encoded changer of the newer product reads its position alone.
  instr.can.zoom_type = SYS_INFO_ZOOM_ENCODED;
  bridge.brmotor_product_id = 0x267215D7;
  EXPECT_EQ(can_read_all_zoom(&instr), ERR_INVALID_PARAM);
}

TEST_F(Accessors, FirstMappedZoomReadSetsThePumpsLastPosition) {
  can_events_reset_zoom_state();
  instr.can.zoom_type = SYS_INFO_ZOOM_ENCODED;
  bridge.brmotor_product_id = 0x267215D7;
  sim->set_object_value(0x3F, 0x2012, 0, 2, 1); // position 5
  int32_t position = 0;
  ASSERT_EQ(can_read_zoom(&instr, &position), ERR_NONE);
  sim->set_object_value(0x3F, 0x2012, 0, 3, 1); // a second read changes nothing
  ASSERT_EQ(can_read_zoom(&instr, &position), ERR_NONE);
  // A report of position 5 is no change; position 4 is.
  instr.sys_type = 22;
  const uint8_t five[8] = {0, 2}, four[8] = {0, 3};
  mc_pdo_handler(0x2BF, 0, five);
  mc_pdo_handler(0x2BF, 0, four);
  can_process_events(&instr);
  can_decoded_event event;
  std::vector<int32_t> codes;
  while (can_decoded_event_take(&event))
    codes.push_back(event.code);
  EXPECT_EQ(codes, std::vector<int32_t>{CAN_EV_ZOOM_POSITION});
}

TEST_F(Accessors, BrushMotorConfigurationIsStoredInTheSystem) {
  sim->set_object(0x3F, 0x2020, 1, "\x0B\x13", 2);
  ASSERT_EQ(can_get_brmtr_config(&instr, nullptr, nullptr), ERR_NONE);
  EXPECT_EQ(instr.can.zoom_positions, 3);
  EXPECT_EQ(instr.can.turret_positions, 3);
}

TEST_F(Accessors, PztFaultsComeFromTheMultiplexedNode) {
  sim->add_node(0x34, 0, 1, 0);
  instr.can.pzt_mux = SYS_INFO_PZT_MUX_LARGE_AP;
  sim->set_object_value(0x34, 0x1002, 0, 0x20, 4);
  uint32_t faults = 0;
  ASSERT_EQ(can_read_pztramp_errchk(&instr, &faults), ERR_NONE);
  EXPECT_EQ(faults, 0x20u);
  EXPECT_EQ(last().node, 0x34);
  sim->abort_sdo(0x34, 0x1002, 0, 0x06020000, 0, 1);
  EXPECT_EQ(can_read_pztramp_errchk(&instr, &faults), ERR_CAN_SDO_LAP_ERROR);
}

} // namespace
} // namespace ferry::test
