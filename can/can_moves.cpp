#include "can/can_moves.h"

#include "base/console.h"
#include "base/hooks.h"
#include "can/can_accessors.h"
#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_events_internal.h"
#include "can/can_host_ops.h"
#include "can/can_internal.h"
#include "ramps/ramp_file.h"
#include "ramps/ramp_set.h"

#include <initializer_list>

using namespace ferry::can;

static_assert(int{SYS_INFO_CAN_RAMPS} == int{RR_MAX_RAMPS},
              "one last-start time per ramp of a table");

namespace {

// The long waits of a move: each pause is followed by the idle hook, and the
// host may cut the wait short through the abort hook.
u_err_t pause_unless_aborted(uint32_t ms) {
  u_sleep(ms);
  u_idle_hook();
  return u_abort_hook(0) ? ERR_FERNHALL_ABORTED : ERR_NONE;
}

// --- ND wheel homing ---------------------------------------------------------

constexpr uint8_t kHomeMask = 0x18;
constexpr uint8_t kHomeSearching = 0x08;
constexpr uint8_t kHomeFailed = 0x10;
constexpr uint8_t kMoving = 0x02;
constexpr int32_t kHomeStep = 100;

// One 100 ms step of the homing wait: pause, idle hook, then fresh news of
// the wheel, read from the node when polled, else from its reports.
u_err_t homing_step(sys_info *instr, bool polled, void (*store)(uint8_t), uint8_t mask) {
  if (u_err_t err = pause_unless_aborted(kHomeStep))
    return err;
  if (!polled) {
    can_process_events(instr);
    return ERR_NONE;
  }
  uint8_t status = 0;
  if (u_err_t err = can_read_ndw_status(instr, &status))
    return err;
  store(status & mask);
  return ERR_NONE;
}

// --- Ring/spot disk ----------------------------------------------------------

constexpr uint8_t kKeypressBit = 0x02;

bool reports_disk_moves(int32_t sys_type) {
  return sys_type == 23 || sys_type == 30 || sys_type == 32;
}

// The disk reports 1 at position 0 and 2 at position 1.
bool disk_at(uint8_t reported, int32_t position) {
  return reported == position + 1;
}

u_err_t turn_disk(sys_info *instr, int32_t position, bool wait) {
  int16_t maximum = 0;
  if (u_err_t err = can_read_rs_maxCurrent(instr, &maximum))
    return err;
  int16_t current = position == 1 ? static_cast<int16_t>(-maximum) : maximum;
  if (u_err_t err = can_write_rs_current(instr, current))
    return err;
  if (!wait || !reports_disk_moves(instr->sys_type))
    return ERR_NONE;
  constexpr int kPolls = 500;
  for (int poll = 0; poll < kPolls; ++poll) {
    if (u_err_t err = pause_unless_aborted(250))
      return err;
    uint8_t status = 0;
    if (u_err_t err = can_read_rs_status(instr, &status))
      return err;
    if (!(status & kMoving))
      return ERR_NONE;
  }
  return ERR_RS_TIMEOUT;
}

// --- Ramps --------------------------------------------------------------------

// The two rampers: the bridge's own, and the PZT ramper of the host.
struct Ramper {
  u_err_t (*select)(sys_info *, int32_t slot);
  u_err_t (*valid)(sys_info *, int32_t slot, uint8_t *valid);
  u_err_t (*status)(sys_info *, uint8_t *status);
  u_err_t (*start)(sys_info *);
};

bool one_of(int32_t sys_type, std::initializer_list<int32_t> types) {
  for (int32_t type : types)
    if (type == sys_type)
      return true;
  return false;
}

bool choose_ramper(const sys_info &instr, Ramper &ramper) {
  if (one_of(instr.sys_type, {11, 13, 22, 28, 31, 34})) {
    ramper = {can_write_ramp_select, can_read_ramp_valid, can_read_ramp_status, can_ramp_start};
    return true;
  }
  if (one_of(instr.sys_type, {23, 25, 26, 29, 35})) {
    const can_host_ops *ops = can_get_host_ops();
    ramper = {ops->can_write_pztramp_select, ops->can_read_pztramp_valid,
              ops->can_read_pztramp_status, ops->can_pztramp_start};
    return true;
  }
  return false;
}

// The first start of a ramp on a digital scanner checks that the scanner
// plays it; a failure hands the scanner its triggering bit back.
u_err_t verify_scanner(sys_info *instr, int32_t ramp_index) {
  u_err_t err = can_get_host_ops()->scanner_verify(instr, ramp_index);
  if (err != ERR_NONE && can_fw_newer_than_1_11(instr)) {
    uint16_t config = 0;
    if (can_bridge_read_config(instr, &config) == ERR_NONE)
      can_bridge_write_config(instr, static_cast<uint16_t>(config | CAN_BRIDGE_CONFIG_ON_BIT13));
  }
  return err;
}

} // namespace

extern "C" u_err_t can_home_ndw(sys_info *instr, bool polled, int32_t limit_ms) {
  const char *name = "can_home_ndw";
  if (u_err_t err = ndw_available(instr, name))
    return err;
  ndw_set_home_status(kHomeSearching);
  u_err_t err = can_write_dmd_motor2_control(instr, CAN_NODE_ID_FOCUS_NDW, 3);
  if (err == ERR_CAN_SDO_DMD_ERROR)
    return ERR_CAN_SDO_NDW_ERROR;
  if (err != ERR_NONE)
    return err;
  // One elapsed count serves the search and the move.
  int32_t elapsed = 0;
  while ((can_ndw_home_status() & kHomeMask) == kHomeSearching) {
    if (elapsed >= limit_ms) {
      u_msg_hook("%s: timeout waiting for home search, time=%d ms\n", name, elapsed);
      return ERR_CAN_NDW_HOME_ERROR;
    }
    if (u_err_t step = homing_step(instr, polled, ndw_set_home_status, kHomeMask))
      return step;
    elapsed += kHomeStep;
  }
  uint8_t home = can_ndw_home_status() & kHomeMask;
  if (home == kHomeFailed) {
    u_msg_hook("%s: llcHomeStatus=%d\n", name, home);
    return ERR_CAN_NDW_HOME_ERROR;
  }
  ndw_set_moving_status(kMoving);
  while (can_ndw_moving_status() & kMoving) {
    if (elapsed >= limit_ms) {
      u_msg_hook("%s: timeout waiting for move to initial position, time=%d ms\n", name, elapsed);
      return ERR_CAN_NDW_HOME_ERROR;
    }
    if (u_err_t step = homing_step(instr, polled, ndw_set_moving_status, kMoving))
      return step;
    elapsed += kHomeStep;
  }
  return ERR_NONE;
}

extern "C" u_err_t can_move_rs_disk(sys_info *instr, int32_t position, bool wait) {
  if (position != 0 && position != 1)
    return ERR_INVALID_PARAM;
  if (!instr)
    return ERR_SYS_INFO_NOT_AVAIL;
  if (!is_can_board(instr) || !instr->can.present.dd_rs)
    return ERR_NONE;
  uint8_t reported = 0;
  if (u_err_t err = can_read_rs_position(instr, &reported))
    return err;
  if (disk_at(reported, position))
    return ERR_NONE;
  uint8_t keypress = 0;
  if (u_err_t err = can_read_rs_keypress_mode(instr, &keypress))
    return err;
  // The disk's own key must not fight the move.
  bool keypress_off = keypress & kKeypressBit;
  if (keypress_off) {
    if (u_err_t err =
            can_write_rs_keypress_mode(instr, static_cast<uint8_t>(keypress & ~kKeypressBit)))
      return err;
  }
  u_err_t err = turn_disk(instr, position, wait);
  if (keypress_off) {
    u_err_t restored = can_write_rs_keypress_mode(instr, keypress);
    if (err == ERR_NONE)
      err = restored;
  }
  return err;
}

extern "C" u_err_t can_start_ramp(sys_info *instr, int32_t ramp_index) {
  if (!is_can_board(instr))
    return ERR_WRONG_INSTR_BOARD;
  if (!instr->ramps.ramp_table)
    return ERR_NO_RAMP_INFO;
  if (ramp_index < 0 || ramp_index >= instr->ramps.ramp_count || ramp_index >= SYS_INFO_CAN_RAMPS)
    return ERR_INVALID_RAMP_INDEX;
  Ramper ramper;
  if (!choose_ramper(*instr, ramper))
    return ERR_INTERNAL_MB;
  int32_t slot = instr->ramps.ramp_table[ramp_index].slot;
  if (u_err_t err = ramper.select(instr, slot))
    return err;
  double &last_start = instr->can.ramp_last_start[ramp_index];
  if (last_start == 0 && instr->can.digital_scanner && can_fw_min_7_3(instr)) {
    if (u_err_t err = verify_scanner(instr, ramp_index))
      return err;
  }
  uint8_t valid = 0;
  if (u_err_t err = ramper.valid(instr, slot, &valid))
    return err;
  if (valid == 0)
    return ERR_INVALID_RAMP_INDEX;
  uint8_t status = 0;
  if (u_err_t err = ramper.status(instr, &status))
    return err;
  if (status != 0) {
    u_msg_hook("can_start_ramp/pztramp: cannot start ramp, status = %d\n", status);
    return ERR_RAMP_BUSY;
  }
  if (u_err_t err = ramper.start(instr))
    return err;
  last_start = u_clock_seconds();
  return ERR_NONE;
}

extern "C" u_err_t can_switch_aux_motor(sys_info *instr, bool on) {
  u_err_t err = can_write_dmd_motor2_current(instr, CAN_NODE_ID_AUX_MOTOR, on ? 500 : -500);
  if (err == ERR_CAN_SDO_DMD_ERROR)
    return ERR_CAN_AUX_MOTOR_ERROR;
  if (err != ERR_NONE)
    return err;
  constexpr int kPolls = 21;
  for (int poll = 0; poll < kPolls; ++poll) {
    u_sleep(250);
    u_idle_hook();
    uint8_t status = 0;
    err = can_read_dmd_motor2_status(instr, CAN_NODE_ID_AUX_MOTOR, &status);
    if (err == ERR_CAN_SDO_DMD_ERROR)
      return ERR_CAN_SDO_AUX_MOTOR_ERROR;
    if (err != ERR_NONE)
      return err;
    if (!(status & kMoving))
      return ERR_NONE;
  }
  return ERR_AV_TIMEOUT;
}
