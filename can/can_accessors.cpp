#include "can/can_accessors.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>

#include "base/console.h"
#include "base/hooks.h"
#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_events_internal.h"
#include "can/can_host_ops.h"
#include "can/can_internal.h"
#include "platform/sync.h"
#include "ramps/ramp_file.h"

using namespace ferry::can;

namespace {

// --- The object table ------------------------------------------------------

// How a row's node is reached: its node, the check before any transfer,
// and the code of a transfer the node aborts.
enum class Rule : uint8_t {
  Dmd,
  BrMotor,
  Led,
  Ramper,
  Bridge,
  EncZoom,
  TriplePzt,
  LargeAp,
  Identity
};

struct RuleDef {
  uint8_t node;        // 0: the caller names the node
  bool board_check;    // instrBdType must be 8
  u_err_t wrong_board; // the code when it is not
  u_err_t abort_code;  // passed to the SDO wrappers
};

constexpr RuleDef rule_def(Rule rule) {
  switch (rule) {
  case Rule::Dmd:
    return {0, true, ERR_INVALID_PARAM, ERR_CAN_SDO_DMD_ERROR};
  case Rule::BrMotor:
    return {CAN_NODE_ID_BRUSHMOTOR, true, ERR_WRONG_INSTR_BOARD, ERR_CAN_SDO_BRMOTOR_ERROR};
  case Rule::Led:
    return {CAN_NODE_ID_LED, true, ERR_WRONG_INSTR_BOARD, ERR_CAN_SDO_LED_ERROR};
  case Rule::Ramper:
    return {CAN_NODE_ID_RAMP, true, ERR_WRONG_INSTR_BOARD, ERR_CAN_SDO_RAMP_ERROR};
  case Rule::Bridge:
    return {CAN_NODE_ID_RAMP, true, ERR_WRONG_INSTR_BOARD, ERR_CAN_SDO_BRIDGE_ERROR};
  case Rule::EncZoom:
    return {CAN_NODE_ID_FOCUS_NDW, false, ERR_NONE, ERR_CAN_SDO_ENC_ZOOM_ERROR};
  case Rule::TriplePzt:
    return {CAN_NODE_ID_TRIPLEPZT, true, ERR_WRONG_INSTR_BOARD, ERR_CAN_SDO_PZT_ERROR};
  case Rule::LargeAp:
    return {CAN_NODE_ID_LARGEAP, true, ERR_WRONG_INSTR_BOARD, ERR_CAN_SDO_LAP_ERROR};
  case Rule::Identity:
    return {0, false, ERR_NONE, ERR_CAN_ERROR};
  }
  return {};
}

// Every node object an accessor reaches.
enum class Obj : uint8_t {
  DmdReadMotor1Control,
  DmdWriteMotor1Control,
  DmdWriteMotor1Mode,
  DmdWriteMotor1TargetVel,
  DmdWriteMotor2Control,
  DmdReadMotor2Status,
  DmdReadLlcLevel,
  DmdWriteLlcLevel,
  DmdWriteMotor2Current,
  DmdReadMaxCurrent,
  DmdReadPosition,
  DmdReadKeypress,
  DmdWriteKeypress,
  TurretStatus,
  Turret,
  Zoom,
  AllZoom,
  BrMotorConfig,
  LedSetup,
  WriteLlc,
  ReadLlc,
  LlcAvgCurLmt,
  LlcFwdVlt,
  LlcPwmFreq,
  RampStart,
  RampStatus,
  RampSelect,
  RampValid,
  RampTrigger,
  RampRate,
  RampData,
  PifocOffset,
  BridgeStatus,
  BridgeReadConfig,
  BridgeWriteConfig,
  FgTrigger,
  SyncGen,
  PiRampStart,
  PiRampSelect,
  PiRampStatusNew,
  PiRampStatusOld,
  PiAmplitude,
  PiVelocity,
  PiDdlLoad,
  PiDdlCount,
  WriteDigitalOut,
  ReadDigitalOut,
  DiodeReadOutputs,
  DiodeWriteOutputs,
  DiodeEnable,
  DiodeSwitch,
  EncZoomMotionMode,
  EncZoomLowerLimit,
  EncZoomUpperLimit,
  EncZoomBacklash,
  TriplePztErrChk,
  LargeApErrChk,
  ProductId,
  Version,
  Count
};

struct Row {
  Obj obj;
  const char *name; // the caller name of the transfer
  Rule rule;
  uint16_t index;
  uint8_t subindex;
  uint16_t size;
};

// clang-format off
constexpr Row kRows[] = {
  {Obj::DmdReadMotor1Control,    "can_read_dmd_motor1_control",    Rule::Dmd,       0x2000, 0,  1},
  {Obj::DmdWriteMotor1Control,   "can_write_dmd_motor1_control",   Rule::Dmd,       0x2000, 0,  1},
  {Obj::DmdWriteMotor1Mode,      "can_write_dmd_motor1_mode",      Rule::Dmd,       0x2002, 0,  1},
  {Obj::DmdWriteMotor1TargetVel, "can_write_dmd_motor1_targetVel", Rule::Dmd,       0x2004, 0,  4},
  {Obj::DmdWriteMotor2Control,   "can_write_dmd_motor2_control",   Rule::Dmd,       0x2020, 0,  1},
  {Obj::DmdReadMotor2Status,     "can_read_dmd_motor2_status",     Rule::Dmd,       0x2021, 0,  1},
  {Obj::DmdReadLlcLevel,         "can_read_dmd_motor2_llcLevel",   Rule::Dmd,       0x2028, 0,  2},
  {Obj::DmdWriteLlcLevel,        "can_write_dmd_motor2_llcLevel",  Rule::Dmd,       0x2028, 0,  2},
  {Obj::DmdWriteMotor2Current,   "can_write_dmd_motor2_current",   Rule::Dmd,       0x2034, 0,  2},
  {Obj::DmdReadMaxCurrent,       "can_read_dmd_motor2_maxCurrent", Rule::Dmd,       0x2036, 0,  2},
  {Obj::DmdReadPosition,         "can_read_dmd_motor2_position",   Rule::Dmd,       0x2047, 0,  1},
  {Obj::DmdReadKeypress,         "can_read_dmd_keypress_mode",     Rule::Dmd,       0x2044, 8,  1},
  {Obj::DmdWriteKeypress,        "can_write_dmd_keypress_mode",    Rule::Dmd,       0x2044, 8,  1},
  {Obj::TurretStatus,            "can_read_turret_status",         Rule::BrMotor,   0x2001, 0,  1},
  {Obj::Turret,                  "can_read_turret",                Rule::BrMotor,   0x2002, 0,  1},
  {Obj::Zoom,                    "can_read_zoom",                  Rule::BrMotor,   0x2012, 0,  1},
  {Obj::AllZoom,                 "can_read_all_zoom",              Rule::BrMotor,   0x2015, 0,  6},
  {Obj::BrMotorConfig,           "can_get_brmtr_config",           Rule::BrMotor,   0x2020, 1,  2},
  {Obj::LedSetup,                "can_write_led_setup",            Rule::Led,       0x2000, 0,  1},
  {Obj::WriteLlc,                "can_write_llc",                  Rule::Led,       0x2001, 0,  2},
  {Obj::ReadLlc,                 "can_read_llc",                   Rule::Led,       0x2001, 0,  2},
  {Obj::LlcAvgCurLmt,            "can_write_llc_avgcurlmt",        Rule::Led,       0x2002, 0,  2},
  {Obj::LlcFwdVlt,               "can_write_llc_fwdvlt",           Rule::Led,       0x2004, 0,  2},
  {Obj::LlcPwmFreq,              "can_write_llc_pwmfreq",          Rule::Led,       0x2006, 0,  4},
  {Obj::RampStart,               "can_ramp_start",                 Rule::Ramper,    0x2000, 0,  1},
  {Obj::RampStatus,              "can_read_ramp_status",           Rule::Ramper,    0x2000, 0,  1},
  {Obj::RampSelect,              "can_write_ramp_select",          Rule::Ramper,    0x2001, 0,  1},
  {Obj::RampValid,               "can_read_ramp_valid",            Rule::Ramper,    0x2003, 1,  1},
  {Obj::RampTrigger,             "can_write_ramp_trigger",         Rule::Ramper,    0x2003, 2,  2},
  {Obj::RampRate,                "can_write_ramp_rate",            Rule::Ramper,    0x2003, 4,  4},
  {Obj::RampData,                "can_write_ramp_data",            Rule::Ramper,    0x2003, 5,  32768},
  {Obj::PifocOffset,             "can_write_pifoc_offset",         Rule::Ramper,    0x2009, 1,  2},
  {Obj::BridgeStatus,            "can_read_bridge_status",         Rule::Bridge,    0x2010, 1,  1},
  {Obj::BridgeReadConfig,        "can_bridge_read_config",         Rule::Ramper,    0x2010, 2,  2},
  {Obj::BridgeWriteConfig,       "can_bridge_write_config",        Rule::Ramper,    0x2010, 2,  2},
  {Obj::FgTrigger,               "can_write_fg_trigger",           Rule::Ramper,    0x2010, 5,  2},
  {Obj::SyncGen,                 "can_write_syncgen",              Rule::Ramper,    0x2030, 0,  4},
  {Obj::PiRampStart,             "can_pi_ramp_start",              Rule::Ramper,    0x2041, 6,  1},
  {Obj::PiRampSelect,            "can_write_pi_ramp_select",       Rule::Ramper,    0x2041, 1,  1},
  {Obj::PiRampStatusNew,         "can_read_pi_ramp_status",        Rule::Ramper,    0x2040, 0,  2},
  {Obj::PiRampStatusOld,         "can_read_pi_ramp_status",        Rule::Ramper,    0x2041, 11, 2},
  {Obj::PiAmplitude,             "can_read_pi_ramp_amplitude",     Rule::Ramper,    0x2041, 2,  4},
  {Obj::PiVelocity,              "can_read_pi_ramp_velocity",      Rule::Ramper,    0x2041, 3,  4},
  {Obj::PiDdlLoad,               "can_pi_load_ddl_tables",         Rule::Ramper,    0x2041, 19, 1},
  {Obj::PiDdlCount,              "can_read_pi_serial_integer",     Rule::Ramper,    0x2041, 20, 2},
  {Obj::WriteDigitalOut,         "can_bridge_write_digitalout",    Rule::Bridge,    0x6200, 1,  1},
  {Obj::ReadDigitalOut,          "can_bridge_read_digitalout",     Rule::Bridge,    0x6200, 1,  1},
  {Obj::DiodeReadOutputs,        "can_set_align_illumination_diode", Rule::Bridge,  0x6200, 1,  1},
  {Obj::DiodeWriteOutputs,       "can_set_align_illumination_diode", Rule::Bridge,  0x6200, 1,  1},
  {Obj::DiodeEnable,             "can_set_align_illumination_diode", Rule::Bridge,  0x6240, 1,  1},
  {Obj::DiodeSwitch,             "can_set_align_illumination_diode", Rule::Bridge,  0x6220, 1,  1},
  {Obj::EncZoomMotionMode,       "kps_enc_zoom_set_motion_mode",   Rule::EncZoom,   0x2002, 0,  1},
  {Obj::EncZoomLowerLimit,       "kps_enc_zoom_set_soft_limits",   Rule::EncZoom,   0x607D, 1,  4},
  {Obj::EncZoomUpperLimit,       "kps_enc_zoom_set_soft_limits",   Rule::EncZoom,   0x607D, 2,  4},
  {Obj::EncZoomBacklash,         "kps_enc_zoom_set_backlash",      Rule::EncZoom,   0x2019, 0,  4},
  {Obj::TriplePztErrChk,         "can_read_pztramp_errchk",        Rule::TriplePzt, 0x1002, 0,  4},
  {Obj::LargeApErrChk,           "can_read_pztramp_errchk",        Rule::LargeAp,   0x1002, 0,  4},
  {Obj::ProductId,               "can_read_productID",             Rule::Identity,  0x1018, 2,  4},
  {Obj::Version,                 "can_read_version",               Rule::Identity,  0x1018, 3,  4},
};
// clang-format on

constexpr bool rows_in_order() {
  for (size_t i = 0; i < std::size(kRows); ++i)
    if (static_cast<size_t>(kRows[i].obj) != i)
      return false;
  return std::size(kRows) == static_cast<size_t>(Obj::Count);
}
static_assert(rows_in_order(), "one row per object, in the order of Obj");

constexpr const Row &row(Obj obj) {
  return kRows[static_cast<size_t>(obj)];
}

// --- The transfer engine -----------------------------------------------------

// One transfer of a row: the caller's node for a generic row, the ramp
// slot's object for the ramper's per-slot rows, the size when it differs
// from the row's.
struct Access {
  Obj obj;
  uint8_t node = 0;
  uint16_t index_offset = 0;
  uint16_t size = 0;
  bool activity = true;
};

u_err_t precondition(const Row &r, const sys_info *instr) {
  RuleDef rule = rule_def(r.rule);
  return rule.board_check && !is_can_board(instr) ? rule.wrong_board : ERR_NONE;
}

u_err_t transfer(const Access &access, sys_info *instr, bool write, uint8_t *bytes) {
  const Row &r = row(access.obj);
  if (u_err_t err = precondition(r, instr))
    return err;
  RuleDef rule = rule_def(r.rule);
  uint8_t node = rule.node ? rule.node : access.node;
  uint16_t index = static_cast<uint16_t>(r.index + access.index_offset);
  uint32_t size = access.size ? access.size : r.size;
  return write ? can_sdo_write2(node, index, r.subindex, bytes, size, access.activity,
                                rule.abort_code, r.name)
               : can_sdo_read2(node, index, r.subindex, bytes, size, access.activity,
                               rule.abort_code, r.name);
}

u_err_t read_value(const Access &access, sys_info *instr, uint32_t &value) {
  uint8_t bytes[4] = {};
  u_err_t err = transfer(access, instr, false, bytes);
  if (err == ERR_NONE) {
    uint16_t size = access.size ? access.size : row(access.obj).size;
    value = le_value(bytes, size);
  }
  return err;
}

u_err_t write_value(const Access &access, sys_info *instr, uint32_t value) {
  uint8_t bytes[4] = {};
  le_bytes(value, bytes, sizeof bytes);
  return transfer(access, instr, true, bytes);
}

// Reads into a typed place, which is left alone on failure.
template <typename T> u_err_t read_into(const Access &access, sys_info *instr, T *out) {
  if (!out)
    return ERR_INVALID_PARAM;
  uint32_t value = 0;
  u_err_t err = read_value(access, instr, value);
  if (err == ERR_NONE)
    *out = static_cast<T>(value);
  return err;
}

template <typename T> u_err_t write_from(const Access &access, sys_info *instr, T value) {
  return write_value(access, instr, static_cast<uint32_t>(value));
}

// --- Node groups over the generic accessors ------------------------------

enum class Group : uint8_t { RingSpot, ZoomDisk, NdWheel, FocusKeypress };

struct GroupDef {
  uint8_t node;
  uint8_t sys_info_can_nodes::*present;
  const char *missing;
  u_err_t translated; // what an abort of the generic accessor becomes
};

constexpr GroupDef group_def(Group group) {
  constexpr const char *kNdwMissing = "%s: CAN Focus and ND Wheel node is not available\n";
  switch (group) {
  case Group::RingSpot:
    return {CAN_NODE_ID_DD_RS, &sys_info_can_nodes::dd_rs,
            "%s: CAN Ring-of-Fire and Diffuser Disk node is not available\n",
            ERR_CAN_SDO_ROF_ERROR};
  case Group::ZoomDisk:
    return {CAN_NODE_ID_DD_ZOOM, &sys_info_can_nodes::dd_zoom,
            "%s: CAN Zoom and Diffuser Disk node is not available\n", ERR_CAN_SDO_ZOOM_ERROR};
  case Group::NdWheel:
    return {CAN_NODE_ID_FOCUS_NDW, &sys_info_can_nodes::focus_ndw, kNdwMissing,
            ERR_CAN_SDO_NDW_ERROR};
  case Group::FocusKeypress:
    return {CAN_NODE_ID_FOCUS_NDW, &sys_info_can_nodes::focus_ndw, kNdwMissing,
            ERR_CAN_SDO_FZM_ERROR};
  }
  return {};
}

u_err_t group_available(Group group, const sys_info *instr, const char *name) {
  GroupDef def = group_def(group);
  if (!instr || !(instr->can.present.*def.present)) {
    u_msg_stamped(def.missing, name);
    return ERR_CAN_NODE_NOT_AVAIL;
  }
  return ERR_NONE;
}

// The node's present flag, then the generic accessor on the group's node,
// with its abort turned into the group's code.
template <typename Generic>
u_err_t on_group(Group group, const char *name, sys_info *instr, Generic &&generic) {
  if (u_err_t err = group_available(group, instr, name))
    return err;
  GroupDef def = group_def(group);
  u_err_t err = generic(def.node);
  return err == ERR_CAN_SDO_DMD_ERROR ? def.translated : err;
}

uint16_t inverted_if(bool invert, uint16_t level) {
  return invert ? static_cast<uint16_t>(65535 - level) : level;
}

constexpr int kRampSlots = 4;

bool valid_slot(int32_t slot) {
  return slot >= 0 && slot < kRampSlots;
}

bool has_scanner(const sys_info *instr) {
  return instr && instr->can.digital_scanner;
}

constexpr uint32_t kBrMotorProduct5 = 0x267215D5;
constexpr uint32_t kBrMotorProduct7 = 0x267215D7;
constexpr uint8_t kNoZoomReading = 15;

uint32_t brmotor_product(const sys_info *instr) {
  return instr && instr->can.bridge ? instr->can.bridge->brmotor_product_id : 0;
}

bool mapped_zoom(const sys_info *instr) {
  return brmotor_product(instr) == kBrMotorProduct7 &&
         instr->can.zoom_type == SYS_INFO_ZOOM_ENCODED;
}

} // namespace

u_err_t ferry::can::ndw_available(const sys_info *instr, const char *name) {
  return group_available(Group::NdWheel, instr, name);
}

// --- Generic motor accessors ----------------------------------------------

extern "C" u_err_t can_read_dmd_motor1_control(sys_info *instr, uint8_t node, uint8_t *control) {
  return read_into({Obj::DmdReadMotor1Control, node}, instr, control);
}

extern "C" u_err_t can_write_dmd_motor1_control(sys_info *instr, uint8_t node, uint8_t control) {
  return write_from({Obj::DmdWriteMotor1Control, node}, instr, control);
}

extern "C" u_err_t can_write_dmd_motor1_mode(sys_info *instr, uint8_t node, uint8_t mode) {
  if (u_err_t err = precondition(row(Obj::DmdWriteMotor1Mode), instr))
    return err;
  if (mode > 4) {
    u_msg_hook("%s: invalid mode=%d\n", "can_write_dmd_motor1_mode", mode);
    return ERR_INVALID_PARAM;
  }
  return write_from({Obj::DmdWriteMotor1Mode, node}, instr, mode);
}

extern "C" u_err_t can_write_dmd_motor1_targetVel(sys_info *instr, uint8_t node, int32_t velocity) {
  return write_from({Obj::DmdWriteMotor1TargetVel, node}, instr, velocity);
}

extern "C" u_err_t can_write_dmd_motor2_control(sys_info *instr, uint8_t node, uint8_t control) {
  return write_from({Obj::DmdWriteMotor2Control, node}, instr, control);
}

extern "C" u_err_t can_read_dmd_motor2_status(sys_info *instr, uint8_t node, uint8_t *status) {
  return read_into({Obj::DmdReadMotor2Status, node}, instr, status);
}

extern "C" u_err_t can_read_dmd_motor2_llcLevel(sys_info *instr, uint8_t node, uint16_t *level) {
  uint16_t raw = 0;
  u_err_t err = read_into({Obj::DmdReadLlcLevel, node}, instr, &raw);
  if (err == ERR_NONE && level)
    *level = inverted_if(instr->can.ndw_llc_inverted, raw);
  return level ? err : ERR_INVALID_PARAM;
}

extern "C" u_err_t can_write_dmd_motor2_llcLevel(sys_info *instr, uint8_t node, uint16_t level) {
  if (u_err_t err = precondition(row(Obj::DmdWriteLlcLevel), instr))
    return err;
  // While the gain control runs, its own writes are no sign of a user.
  bool activity = !can_get_host_ops()->agc_thread_running();
  return write_from({Obj::DmdWriteLlcLevel, node, 0, 0, activity}, instr,
                    inverted_if(instr->can.ndw_llc_inverted, level));
}

extern "C" u_err_t can_write_dmd_motor2_current(sys_info *instr, uint8_t node, int16_t current) {
  int16_t maximum = 0;
  if (u_err_t err = can_read_dmd_motor2_maxCurrent(instr, node, &maximum))
    return err;
  return write_from({Obj::DmdWriteMotor2Current, node}, instr, static_cast<uint16_t>(current));
}

extern "C" u_err_t can_read_dmd_motor2_maxCurrent(sys_info *instr, uint8_t node, int16_t *current) {
  uint16_t raw = 0;
  u_err_t err = read_into({Obj::DmdReadMaxCurrent, node}, instr, &raw);
  if (err == ERR_NONE && current)
    *current = static_cast<int16_t>(raw);
  return current ? err : ERR_INVALID_PARAM;
}

extern "C" u_err_t can_read_dmd_motor2_position(sys_info *instr, uint8_t node, uint8_t *position) {
  return read_into({Obj::DmdReadPosition, node}, instr, position);
}

extern "C" u_err_t can_read_dmd_keypress_mode(sys_info *instr, uint8_t node, uint8_t *mode) {
  return read_into({Obj::DmdReadKeypress, node}, instr, mode);
}

extern "C" u_err_t can_write_dmd_keypress_mode(sys_info *instr, uint8_t node, uint8_t mode) {
  return write_from({Obj::DmdWriteKeypress, node}, instr, mode);
}

// --- Ring/spot disk, zoom disk, ND wheel, focus ---------------------------

#define CAN_GROUP_ACCESSOR(name, group, params, generic_call)                                      \
  extern "C" u_err_t name params {                                                                 \
    return on_group(Group::group, #name, instr, [&](uint8_t node) { return generic_call; });       \
  }

CAN_GROUP_ACCESSOR(can_read_rs_dd_control, RingSpot, (sys_info * instr, uint8_t *control),
                   can_read_dmd_motor1_control(instr, node, control))
CAN_GROUP_ACCESSOR(can_write_rs_dd_control, RingSpot, (sys_info * instr, uint8_t control),
                   can_write_dmd_motor1_control(instr, node, control))
CAN_GROUP_ACCESSOR(can_write_rs_dd_mode, RingSpot, (sys_info * instr, uint8_t mode),
                   can_write_dmd_motor1_mode(instr, node, mode))
CAN_GROUP_ACCESSOR(can_read_rs_status, RingSpot, (sys_info * instr, uint8_t *status),
                   can_read_dmd_motor2_status(instr, node, status))
CAN_GROUP_ACCESSOR(can_write_rs_current, RingSpot, (sys_info * instr, int16_t current),
                   can_write_dmd_motor2_current(instr, node, current))
CAN_GROUP_ACCESSOR(can_read_rs_maxCurrent, RingSpot, (sys_info * instr, int16_t *current),
                   can_read_dmd_motor2_maxCurrent(instr, node, current))
CAN_GROUP_ACCESSOR(can_read_rs_position, RingSpot, (sys_info * instr, uint8_t *position),
                   can_read_dmd_motor2_position(instr, node, position))
CAN_GROUP_ACCESSOR(can_read_rs_keypress_mode, RingSpot, (sys_info * instr, uint8_t *mode),
                   can_read_dmd_keypress_mode(instr, node, mode))
CAN_GROUP_ACCESSOR(can_write_rs_keypress_mode, RingSpot, (sys_info * instr, uint8_t mode),
                   can_write_dmd_keypress_mode(instr, node, mode))

CAN_GROUP_ACCESSOR(can_read_zoom_dd_control, ZoomDisk, (sys_info * instr, uint8_t *control),
                   can_read_dmd_motor1_control(instr, node, control))
CAN_GROUP_ACCESSOR(can_write_zoom_dd_control, ZoomDisk, (sys_info * instr, uint8_t control),
                   can_write_dmd_motor1_control(instr, node, control))
CAN_GROUP_ACCESSOR(can_write_zoom_dd_mode, ZoomDisk, (sys_info * instr, uint8_t mode),
                   can_write_dmd_motor1_mode(instr, node, mode))
CAN_GROUP_ACCESSOR(can_write_zoom_dd_targetVel, ZoomDisk, (sys_info * instr, int32_t velocity),
                   can_write_dmd_motor1_targetVel(instr, node, velocity))
CAN_GROUP_ACCESSOR(can_read_zoom_keypress_mode, ZoomDisk, (sys_info * instr, uint8_t *mode),
                   can_read_dmd_keypress_mode(instr, node, mode))
CAN_GROUP_ACCESSOR(can_write_zoom_keypress_mode, ZoomDisk, (sys_info * instr, uint8_t mode),
                   can_write_dmd_keypress_mode(instr, node, mode))

CAN_GROUP_ACCESSOR(can_read_ndw_llcLevel, NdWheel, (sys_info * instr, uint16_t *level),
                   can_read_dmd_motor2_llcLevel(instr, node, level))
CAN_GROUP_ACCESSOR(can_write_ndw_control, NdWheel, (sys_info * instr, uint8_t control),
                   can_write_dmd_motor2_control(instr, node, control))
CAN_GROUP_ACCESSOR(can_read_ndw_status, NdWheel, (sys_info * instr, uint8_t *status),
                   can_read_dmd_motor2_status(instr, node, status))

CAN_GROUP_ACCESSOR(can_read_focus_keypress_mode, FocusKeypress, (sys_info * instr, uint8_t *mode),
                   can_read_dmd_keypress_mode(instr, node, mode))
CAN_GROUP_ACCESSOR(can_write_focus_keypress_mode, FocusKeypress, (sys_info * instr, uint8_t mode),
                   can_write_dmd_keypress_mode(instr, node, mode))

#undef CAN_GROUP_ACCESSOR

namespace {

// A new light level moves the wheel: the stopped event is reset before the
// write and set again when the write failed, so nobody waits for a move
// that never started.
u_err_t write_ndw_level(sys_info *instr, uint8_t node, uint16_t level) {
  can_process_events(instr);
  plat_event *stopped = plat_event_open("CAN_NDWHEEL_STOPPED");
  plat_event_reset(stopped);
  u_err_t err = can_write_dmd_motor2_llcLevel(instr, node, level);
  if (err != ERR_NONE)
    plat_event_set(stopped);
  plat_event_close(stopped);
  return err;
}

} // namespace

extern "C" u_err_t can_write_ndw_llcLevel(sys_info *instr, uint16_t level) {
  return on_group(Group::NdWheel, "can_write_ndw_llcLevel", instr,
                  [&](uint8_t node) { return write_ndw_level(instr, node, level); });
}

// --- Brush motor -------------------------------------------------------------

namespace {

u_err_t turret_available(const sys_info *instr) {
  if (u_err_t err = precondition(row(Obj::Turret), instr))
    return err;
  int32_t type = instr->can.turret_type;
  return type == SYS_INFO_TURRET_MOTORIZED || type == SYS_INFO_TURRET_ENCODED
             ? ERR_NONE
             : ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
}

u_err_t zoom_available(const sys_info *instr) {
  if (u_err_t err = precondition(row(Obj::Zoom), instr))
    return err;
  return instr->can.zoom_type != SYS_INFO_ZOOM_NONE ? ERR_NONE : ERR_ZOOM_NOT_AVAILABLE;
}

int32_t zoom_reading(uint8_t raw) {
  return raw == kNoZoomReading ? int32_t{CAN_ZOOM_NO_READING} : int32_t{raw};
}

} // namespace

extern "C" u_err_t can_read_turret_status(sys_info *instr, uint8_t *status) {
  if (u_err_t err = turret_available(instr))
    return err;
  return read_into({Obj::TurretStatus}, instr, status);
}

extern "C" u_err_t can_read_turret(sys_info *instr, uint8_t *position) {
  if (u_err_t err = turret_available(instr))
    return err;
  return read_into({Obj::Turret}, instr, position);
}

extern "C" u_err_t can_read_zoom(sys_info *instr, int32_t *position) {
  if (!position)
    return ERR_INVALID_PARAM;
  if (u_err_t err = zoom_available(instr))
    return err;
  uint8_t raw = 0;
  if (u_err_t err = read_into({Obj::Zoom}, instr, &raw))
    return err;
  if (mapped_zoom(instr)) {
    int32_t mapped = can_zoom_map(raw);
    if (mapped < 0)
      return ERR_PARAM_OUT_OF_RANGE;
    zoom_note_first_position(mapped);
    *position = mapped;
  } else if (brmotor_product(instr) == kBrMotorProduct5) {
    *position = zoom_reading(raw);
  } else {
    *position = raw;
  }
  return ERR_NONE;
}

extern "C" u_err_t can_read_all_zoom(sys_info *instr) {
  if (u_err_t err = zoom_available(instr))
    return err;
  if (mapped_zoom(instr))
    return ERR_INVALID_PARAM;
  can_bridge *bridge = instr->can.bridge;
  if (!bridge)
    return ERR_HW_FAIL;
  for (int32_t &entry : bridge->zoom_table)
    entry = CAN_ZOOM_NO_READING;
  uint8_t raw[CAN_ZOOM_TABLE_SIZE] = {};
  if (u_err_t err = transfer({Obj::AllZoom}, instr, false, raw))
    return err;
  int32_t positions = instr->can.zoom_positions;
  for (int32_t i = 0; i < positions && i < CAN_ZOOM_TABLE_SIZE; ++i)
    bridge->zoom_table[i] = zoom_reading(raw[i]);
  return ERR_NONE;
}

extern "C" u_err_t can_get_brmtr_config(sys_info *instr, int32_t *zoom_positions,
                                        int32_t *turret_positions) {
  uint8_t bytes[2] = {};
  if (u_err_t err = transfer({Obj::BrMotorConfig}, instr, false, bytes))
    return err;
  instr->can.zoom_positions = bytes[0] & 0x07;
  instr->can.turret_positions = bytes[1] & 0x07;
  if (zoom_positions)
    *zoom_positions = instr->can.zoom_positions;
  if (turret_positions)
    *turret_positions = instr->can.turret_positions;
  return ERR_NONE;
}

// --- LED -------------------------------------------------------------------------

extern "C" u_err_t can_write_led_setup(sys_info *instr, uint8_t setup) {
  return write_from({Obj::LedSetup}, instr, setup);
}

extern "C" u_err_t can_write_llc(sys_info *instr, uint16_t level) {
  if (u_err_t err = precondition(row(Obj::WriteLlc), instr))
    return err;
  return write_from({Obj::WriteLlc}, instr, inverted_if(instr->can.llc_inverted, level));
}

extern "C" u_err_t can_read_llc(sys_info *instr, uint16_t *level) {
  uint16_t raw = 0;
  u_err_t err = read_into({Obj::ReadLlc}, instr, &raw);
  if (err == ERR_NONE && level)
    *level = inverted_if(instr->can.llc_inverted, raw);
  return level ? err : ERR_INVALID_PARAM;
}

extern "C" u_err_t can_write_llc_avgcurlmt(sys_info *instr, uint16_t limit) {
  return write_from({Obj::LlcAvgCurLmt}, instr, limit);
}

extern "C" u_err_t can_write_llc_fwdvlt(sys_info *instr, uint16_t voltage) {
  return write_from({Obj::LlcFwdVlt}, instr, voltage);
}

extern "C" u_err_t can_write_llc_pwmfreq(sys_info *instr, uint32_t frequency) {
  return write_from({Obj::LlcPwmFreq}, instr, frequency);
}

extern "C" u_err_t can_set_llc_range(sys_info *instr, int32_t range) {
  if (u_err_t err = precondition(row(Obj::LlcAvgCurLmt), instr))
    return err;
  uint16_t current = 1000, voltage = 4500;
  if (range == 0 || range == 1) {
    current = instr->can.llc_range_current[range];
    voltage = instr->can.llc_range_voltage[range];
  }
  u_err_t err = ERR_NONE;
  if (current != 0)
    err = can_write_llc_avgcurlmt(instr, current);
  if (err == ERR_NONE && voltage != 0)
    err = can_write_llc_fwdvlt(instr, voltage);
  if (err != ERR_NONE)
    u_msg_hook("%s failed: %s\n", "can_set_llc_range", u_error_name(err));
  return err;
}

// --- Ramper ------------------------------------------------------------------------

extern "C" u_err_t can_ramp_start(sys_info *instr) {
  if (u_err_t err = precondition(row(Obj::RampStart), instr))
    return err;
  if (has_scanner(instr))
    return can_pi_ramp_start(instr);
  return write_from({Obj::RampStart}, instr, 1);
}

extern "C" u_err_t can_read_ramp_status(sys_info *instr, uint8_t *status) {
  if (u_err_t err = precondition(row(Obj::RampStatus), instr))
    return err;
  if (has_scanner(instr))
    return can_read_pi_ramp_status(instr, status);
  return read_into({Obj::RampStatus}, instr, status);
}

extern "C" u_err_t can_write_ramp_select(sys_info *instr, int32_t slot) {
  if (u_err_t err = precondition(row(Obj::RampSelect), instr))
    return err;
  if (has_scanner(instr))
    return can_write_pi_ramp_select(instr, slot);
  if (!valid_slot(slot))
    return ERR_PARAM_OUT_OF_RANGE;
  return write_from({Obj::RampSelect}, instr, slot);
}

extern "C" u_err_t can_read_ramp_valid(sys_info *instr, int32_t slot, uint8_t *valid) {
  if (!valid)
    return ERR_INVALID_PARAM;
  if (u_err_t err = precondition(row(Obj::RampValid), instr))
    return err;
  // The digital scanner keeps its ramps itself; every one it has is valid.
  if (has_scanner(instr)) {
    *valid = 1;
    return ERR_NONE;
  }
  if (!valid_slot(slot))
    return ERR_PARAM_OUT_OF_RANGE;
  return read_into({Obj::RampValid, 0, static_cast<uint16_t>(slot)}, instr, valid);
}

extern "C" u_err_t can_write_ramp_trigger(sys_info *instr, int32_t slot,
                                          const struct rr_ramp *ramp) {
  if (u_err_t err = precondition(row(Obj::RampTrigger), instr))
    return err;
  if (!valid_slot(slot))
    return ERR_PARAM_OUT_OF_RANGE;
  if (!ramp)
    return ERR_INVALID_PARAM;
  const char *name = row(Obj::RampTrigger).name;
  // The frame the trigger falls on: the trigger's sample over the sample
  // clock (kHz), times the camera's frames per second.
  double divisor = double(ramp->hdr.sampleClkFreq) * 1000.0;
  double frame = double(ramp->hdr.trigStartAddr) * double(ramp->hdr.cameraRate) / divisor + 0.5;
  if (divisor == 0.0 || !std::isfinite(frame)) {
    u_msg_hook("%s: frameNumber cannot be calculated\n", name);
    return ERR_PARAM_OUT_OF_RANGE;
  }
  frame = std::trunc(frame);
  if (frame < 0.0 || frame > 255.0) {
    int shown = frame > 2147483647.0    ? 2147483647
                : frame < -2147483647.0 ? -2147483647
                                        : int(frame);
    u_msg_hook("%s: calculated frameNumber=%d outside of valid range\n", name, shown);
    return ERR_PARAM_OUT_OF_RANGE;
  }
  return write_from({Obj::RampTrigger, 0, static_cast<uint16_t>(slot)}, instr, int(frame));
}

extern "C" u_err_t can_write_ramp_rate(sys_info *instr, int32_t slot, uint32_t rate) {
  if (u_err_t err = precondition(row(Obj::RampRate), instr))
    return err;
  if (!valid_slot(slot))
    return ERR_PARAM_OUT_OF_RANGE;
  return write_from({Obj::RampRate, 0, static_cast<uint16_t>(slot)}, instr, rate);
}

extern "C" u_err_t can_write_ramp_data(sys_info *instr, int32_t slot, const uint16_t *samples) {
  if (u_err_t err = precondition(row(Obj::RampData), instr))
    return err;
  if (!valid_slot(slot))
    return ERR_PARAM_OUT_OF_RANGE;
  if (!samples)
    return ERR_INVALID_PARAM;
  ferry::HookBuffer<uint8_t> bytes(2 * CAN_RAMP_DATA_SAMPLES);
  if (!bytes)
    return ERR_NO_MEM;
  for (int i = 0; i < CAN_RAMP_DATA_SAMPLES; ++i)
    le_bytes(samples[i], bytes.get() + 2 * i, 2);
  return transfer({Obj::RampData, 0, static_cast<uint16_t>(slot)}, instr, true, bytes.get());
}

extern "C" u_err_t can_write_pifoc_offset(sys_info *instr, uint32_t offset, bool wait) {
  if (u_err_t err = precondition(row(Obj::PifocOffset), instr))
    return err;
  if (offset > 65535)
    return ERR_PARAM_OUT_OF_RANGE;
  if (has_scanner(instr))
    return ERR_NONE;
  if (u_err_t err = write_from({Obj::PifocOffset}, instr, offset))
    return err;
  instr->can.pifoc_offset_time = u_clock_seconds();
  if (!wait)
    return ERR_NONE;
  constexpr int kPolls = 20;
  for (int poll = 0; poll < kPolls; ++poll) {
    if (poll > 0) {
      u_sleep(100);
      u_idle_hook();
    }
    uint8_t status = 0;
    if (u_err_t err = can_read_ramp_status(instr, &status))
      return err;
    if (status == 0)
      return ERR_NONE;
  }
  return ERR_RAMP_WAIT_TIMEOUT;
}

// --- Bridge ------------------------------------------------------------------------

extern "C" u_err_t can_read_bridge_status(sys_info *instr, uint8_t *status) {
  return read_into({Obj::BridgeStatus}, instr, status);
}

extern "C" u_err_t can_bridge_read_config(sys_info *instr, uint16_t *config) {
  return read_into({Obj::BridgeReadConfig}, instr, config);
}

extern "C" u_err_t can_bridge_write_config(sys_info *instr, uint16_t config) {
  return write_from({Obj::BridgeWriteConfig}, instr, config);
}

extern "C" u_err_t can_write_fg_trigger(sys_info *instr, uint16_t trigger) {
  // Older bridge firmware keeps the trigger in one byte.
  uint16_t size = can_fw_newer_than_1_11(instr) ? 2 : 1;
  return write_from({Obj::FgTrigger, 0, 0, size}, instr, trigger);
}

extern "C" u_err_t can_write_syncgen(sys_info *instr, uint32_t rate) {
  return write_from({Obj::SyncGen}, instr, rate);
}

extern "C" u_err_t can_bridge_write_digitalout(sys_info *instr, uint8_t outputs) {
  return write_from({Obj::WriteDigitalOut}, instr, outputs);
}

extern "C" u_err_t can_bridge_read_digitalout(sys_info *instr, uint8_t *outputs) {
  return read_into({Obj::ReadDigitalOut}, instr, outputs);
}

extern "C" u_err_t can_set_align_illumination_diode(sys_info *instr, bool on) {
  if (u_err_t err = precondition(row(Obj::DiodeEnable), instr))
    return err;
  const can_bridge *bridge = instr->can.bridge;
  if (!bridge || bridge->fw_major == 0)
    return ERR_NONE;
  bool before_10_9 = bridge->fw_major < 10 || (bridge->fw_major == 10 && bridge->fw_minor < 9);
  if (before_10_9) {
    // The diode hangs on digital output 0, active low.
    uint8_t outputs = 0;
    if (u_err_t err = read_into({Obj::DiodeReadOutputs}, instr, &outputs))
      return err;
    outputs = on ? outputs & ~0x01 : outputs | 0x01;
    return write_from({Obj::DiodeWriteOutputs}, instr, outputs);
  }
  if (u_err_t err = write_from({Obj::DiodeEnable}, instr, 1))
    return err;
  return write_from({Obj::DiodeSwitch}, instr, on ? 1 : 0);
}

// --- Digital scanner ---------------------------------------------------------------

namespace {

u_err_t scanner_available(Obj obj, const sys_info *instr) {
  if (u_err_t err = precondition(row(obj), instr))
    return err;
  return has_scanner(instr) ? ERR_NONE : ERR_INVALID_PARAM;
}

int32_t scanner_ramp_limit(const sys_info *instr) {
  switch (instr->can.digital_scanner_kind) {
  case 1:
    return 15;
  case 2:
    return 100;
  default:
    return 0;
  }
}

u_err_t read_float(Obj obj, sys_info *instr, float *out) {
  if (!out)
    return ERR_INVALID_PARAM;
  uint32_t bits = 0;
  u_err_t err = read_value({obj}, instr, bits);
  if (err == ERR_NONE)
    *out = std::bit_cast<float>(bits);
  return err;
}

} // namespace

extern "C" u_err_t can_pi_ramp_start(sys_info *instr) {
  if (u_err_t err = scanner_available(Obj::PiRampStart, instr))
    return err;
  return write_from({Obj::PiRampStart}, instr, 1);
}

extern "C" u_err_t can_write_pi_ramp_select(sys_info *instr, int32_t ramp) {
  if (u_err_t err = scanner_available(Obj::PiRampSelect, instr))
    return err;
  if (ramp < 1 || ramp > scanner_ramp_limit(instr))
    return ERR_PARAM_OUT_OF_RANGE;
  return write_from({Obj::PiRampSelect}, instr, ramp);
}

extern "C" u_err_t can_read_pi_ramp_status(sys_info *instr, uint8_t *status) {
  if (!status)
    return ERR_INVALID_PARAM;
  if (u_err_t err = scanner_available(Obj::PiRampStatusNew, instr))
    return err;
  Obj obj = can_fw_min_6_6(instr) ? Obj::PiRampStatusNew : Obj::PiRampStatusOld;
  uint32_t word = 0;
  if (u_err_t err = read_value({obj}, instr, word))
    return err;
  *status = word != 0 ? 3 : 0;
  return ERR_NONE;
}

extern "C" u_err_t can_read_pi_ramp_amplitude(sys_info *instr, float *amplitude) {
  return read_float(Obj::PiAmplitude, instr, amplitude);
}

extern "C" u_err_t can_read_pi_ramp_velocity(sys_info *instr, float *velocity) {
  return read_float(Obj::PiVelocity, instr, velocity);
}

extern "C" u_err_t can_pi_load_ddl_tables(sys_info *instr, int32_t *count) {
  if (!count)
    return ERR_INVALID_PARAM;
  if (u_err_t err = precondition(row(Obj::PiDdlLoad), instr))
    return err;
  if (!instr->can.ddl_tables)
    return ERR_INVALID_PARAM;
  if (u_err_t err = write_from({Obj::PiDdlLoad}, instr, 0))
    return err;
  u_sleep(2000);
  u_idle_hook();
  uint16_t loaded = 0;
  if (u_err_t err = read_into({Obj::PiDdlCount}, instr, &loaded))
    return err;
  *count = loaded;
  return ERR_NONE;
}

// --- PZT nodes, encoded zoom, identity ----------------------------------------------

extern "C" u_err_t can_read_pztramp_errchk(sys_info *instr, uint32_t *faults) {
  bool large_ap = instr && instr->can.pzt_mux == SYS_INFO_PZT_MUX_LARGE_AP;
  return read_into({large_ap ? Obj::LargeApErrChk : Obj::TriplePztErrChk}, instr, faults);
}

extern "C" u_err_t kps_enc_zoom_set_motion_mode(sys_info *instr) {
  return write_from({Obj::EncZoomMotionMode}, instr, 3);
}

extern "C" u_err_t kps_enc_zoom_set_soft_limits(int32_t lower, int32_t upper) {
  // Limits the wrong way round would leave the zoom no room to move.
  if (lower > upper) {
    u_msg_hook("%s: lower soft limit %d is above upper soft limit %d\n",
               "kps_enc_zoom_set_soft_limits", lower, upper);
    return ERR_INVALID_PARAM;
  }
  if (u_err_t err = write_from({Obj::EncZoomLowerLimit}, nullptr, lower))
    return err;
  return write_from({Obj::EncZoomUpperLimit}, nullptr, upper);
}

extern "C" u_err_t kps_enc_zoom_write_backlash(int32_t backlash) {
  return write_from({Obj::EncZoomBacklash}, nullptr, backlash);
}

extern "C" u_err_t can_read_productID(sys_info *instr, uint8_t node, uint32_t *product_id) {
  return read_into({Obj::ProductId, node}, instr, product_id);
}

extern "C" u_err_t can_read_version(sys_info *instr, uint8_t node, uint16_t *major,
                                    uint16_t *minor) {
  if (!major || !minor)
    return ERR_INVALID_PARAM;
  uint32_t version = 0;
  if (u_err_t err = read_value({Obj::Version, node}, instr, version))
    return err;
  *major = static_cast<uint16_t>(version >> 16);
  *minor = static_cast<uint16_t>(version & 0xFFFF);
  return ERR_NONE;
}
