#pragma once
// One accessor per object of the instrument's CAN nodes. Each checks its
// node group's precondition, goes through the SDO wrappers under its own
// name and turns a node's abort into the group's code:
//
//   generic motor (dmd, node given)  instrBdType 8, else 242; abort 84
//   ring/spot disk (rs, node 68)     present, else 76; 84 becomes 94
//   zoom disk (zoom_dd, node 70)     present, else 76; 84 becomes 96
//   ND wheel (ndw, node 64)          present, else 76; 84 becomes 91
//   focus keypress (node 64)         as the ND wheel; 84 becomes 88
//   brush motor (node 63)            instrBdType 8, else 456; abort 83
//   LED (node 61)                    instrBdType 8, else 456; abort 89
//   ramper and bridge (node 127)     instrBdType 8, else 456; abort 93 or 82
//   encoded zoom (node 64)           none; abort 87
//
// Multi-byte values travel little-endian on the bus.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

struct rr_ramp;

// Generic motor accessors of the disk, wheel and motor nodes.
FERRY_API u_err_t can_read_dmd_motor1_control(sys_info *instr, uint8_t node, uint8_t *control);
FERRY_API u_err_t can_write_dmd_motor1_control(sys_info *instr, uint8_t node, uint8_t control);
// Modes 0 to 4.
FERRY_API u_err_t can_write_dmd_motor1_mode(sys_info *instr, uint8_t node, uint8_t mode);
FERRY_API u_err_t can_write_dmd_motor1_targetVel(sys_info *instr, uint8_t node, int32_t velocity);
FERRY_API u_err_t can_write_dmd_motor2_control(sys_info *instr, uint8_t node, uint8_t control);
// Bit 1: moving.
FERRY_API u_err_t can_read_dmd_motor2_status(sys_info *instr, uint8_t node, uint8_t *status);
// Light level, inverted on the bus (65535 - level) when can.ndw_llc_inverted
// is set. The write counts as activity only while the automatic gain
// control's thread is not running.
FERRY_API u_err_t can_read_dmd_motor2_llcLevel(sys_info *instr, uint8_t node, uint16_t *level);
FERRY_API u_err_t can_write_dmd_motor2_llcLevel(sys_info *instr, uint8_t node, uint16_t level);
// Reads the maximum current first; a failed read ends it.
FERRY_API u_err_t can_write_dmd_motor2_current(sys_info *instr, uint8_t node, int16_t current);
FERRY_API u_err_t can_read_dmd_motor2_maxCurrent(sys_info *instr, uint8_t node, int16_t *current);
FERRY_API u_err_t can_read_dmd_motor2_position(sys_info *instr, uint8_t node, uint8_t *position);
FERRY_API u_err_t can_read_dmd_keypress_mode(sys_info *instr, uint8_t node, uint8_t *mode);
FERRY_API u_err_t can_write_dmd_keypress_mode(sys_info *instr, uint8_t node, uint8_t mode);

// Ring/spot and diffuser disk (node 68).
FERRY_API u_err_t can_read_rs_dd_control(sys_info *instr, uint8_t *control);
FERRY_API u_err_t can_write_rs_dd_control(sys_info *instr, uint8_t control);
FERRY_API u_err_t can_write_rs_dd_mode(sys_info *instr, uint8_t mode);
FERRY_API u_err_t can_read_rs_status(sys_info *instr, uint8_t *status);
FERRY_API u_err_t can_write_rs_current(sys_info *instr, int16_t current);
FERRY_API u_err_t can_read_rs_maxCurrent(sys_info *instr, int16_t *current);
FERRY_API u_err_t can_read_rs_position(sys_info *instr, uint8_t *position);
FERRY_API u_err_t can_read_rs_keypress_mode(sys_info *instr, uint8_t *mode);
FERRY_API u_err_t can_write_rs_keypress_mode(sys_info *instr, uint8_t mode);

// Zoom and diffuser disk (node 70).
FERRY_API u_err_t can_read_zoom_dd_control(sys_info *instr, uint8_t *control);
FERRY_API u_err_t can_write_zoom_dd_control(sys_info *instr, uint8_t control);
FERRY_API u_err_t can_write_zoom_dd_mode(sys_info *instr, uint8_t mode);
FERRY_API u_err_t can_write_zoom_dd_targetVel(sys_info *instr, int32_t velocity);
FERRY_API u_err_t can_read_zoom_keypress_mode(sys_info *instr, uint8_t *mode);
FERRY_API u_err_t can_write_zoom_keypress_mode(sys_info *instr, uint8_t mode);

// Focus and ND wheel (node 64).
FERRY_API u_err_t can_read_ndw_llcLevel(sys_info *instr, uint16_t *level);
// Runs the event pump first; resets "CAN_NDWHEEL_STOPPED" for the move and
// sets it again when the write fails.
FERRY_API u_err_t can_write_ndw_llcLevel(sys_info *instr, uint16_t level);
FERRY_API u_err_t can_write_ndw_control(sys_info *instr, uint8_t control);
FERRY_API u_err_t can_read_ndw_status(sys_info *instr, uint8_t *status);
FERRY_API u_err_t can_read_focus_keypress_mode(sys_info *instr, uint8_t *mode);
FERRY_API u_err_t can_write_focus_keypress_mode(sys_info *instr, uint8_t mode);

// Dual brush motor (node 63): objective turret and zoom changer.
FERRY_API u_err_t can_read_turret_status(sys_info *instr, uint8_t *status);
FERRY_API u_err_t can_read_turret(sys_info *instr, uint8_t *position);
// The zoom position: mapped on an encoded changer of product 0x267215D7,
// -2 for a raw 15 on product 0x267215D5, else the raw value.
FERRY_API u_err_t can_read_zoom(sys_info *instr, int32_t *position);
// Fills the bridge record's zoom table.
FERRY_API u_err_t can_read_all_zoom(sys_info *instr);
// Numbers of zoom changer and turret positions, also stored in can.
FERRY_API u_err_t can_get_brmtr_config(sys_info *instr, int32_t *zoom_positions,
                                       int32_t *turret_positions);

// LED and light level (node 61). The light level is inverted on the bus
// when can.llc_inverted is set.
FERRY_API u_err_t can_write_led_setup(sys_info *instr, uint8_t setup);
FERRY_API u_err_t can_write_llc(sys_info *instr, uint16_t level);
FERRY_API u_err_t can_read_llc(sys_info *instr, uint16_t *level);
FERRY_API u_err_t can_write_llc_avgcurlmt(sys_info *instr, uint16_t limit);
FERRY_API u_err_t can_write_llc_fwdvlt(sys_info *instr, uint16_t voltage);
FERRY_API u_err_t can_write_llc_pwmfreq(sys_info *instr, uint32_t frequency);
// Current range 0 or 1 from the configuration; any other range 1000 and
// 4500.
FERRY_API u_err_t can_set_llc_range(sys_info *instr, int32_t range);

// Ramper (node 127). Slots are 0 to 3.
FERRY_API u_err_t can_ramp_start(sys_info *instr);
FERRY_API u_err_t can_read_ramp_status(sys_info *instr, uint8_t *status);
FERRY_API u_err_t can_write_ramp_select(sys_info *instr, int32_t slot);
FERRY_API u_err_t can_read_ramp_valid(sys_info *instr, int32_t slot, uint8_t *valid);
// The trigger frame: trigStartAddr x cameraRate / (sampleClkFreq x 1000),
// rounded; it must lie in 0..255.
FERRY_API u_err_t can_write_ramp_trigger(sys_info *instr, int32_t slot, const struct rr_ramp *ramp);
FERRY_API u_err_t can_write_ramp_rate(sys_info *instr, int32_t slot, uint32_t rate);
// One whole ramp table: CAN_RAMP_DATA_SAMPLES samples.
enum { CAN_RAMP_DATA_SAMPLES = 16384 };
FERRY_API u_err_t can_write_ramp_data(sys_info *instr, int32_t slot, const uint16_t *samples);
FERRY_API u_err_t can_write_pifoc_offset(sys_info *instr, uint32_t offset, bool wait);

// Bridge (node 127).
FERRY_API u_err_t can_bridge_read_config(sys_info *instr, uint16_t *config);
FERRY_API u_err_t can_bridge_write_config(sys_info *instr, uint16_t config);
FERRY_API u_err_t can_write_fg_trigger(sys_info *instr, uint16_t trigger);
FERRY_API u_err_t can_write_syncgen(sys_info *instr, uint32_t rate);
FERRY_API u_err_t can_bridge_write_digitalout(sys_info *instr, uint8_t outputs);
FERRY_API u_err_t can_bridge_read_digitalout(sys_info *instr, uint8_t *outputs);
FERRY_API u_err_t can_set_align_illumination_diode(sys_info *instr, bool on);

// Digital scanner behind the bridge.
FERRY_API u_err_t can_pi_ramp_start(sys_info *instr);
FERRY_API u_err_t can_write_pi_ramp_select(sys_info *instr, int32_t ramp);
// 3 while the scanner reports a ramp under way, else 0.
FERRY_API u_err_t can_read_pi_ramp_status(sys_info *instr, uint8_t *status);
FERRY_API u_err_t can_read_pi_ramp_amplitude(sys_info *instr, float *amplitude);
FERRY_API u_err_t can_read_pi_ramp_velocity(sys_info *instr, float *velocity);
// Loads the scanner's DDL tables and reads how many it loaded.
FERRY_API u_err_t can_pi_load_ddl_tables(sys_info *instr, int32_t *count);

// Faults of the PZT node the multiplexer selects (object 0x1002).
FERRY_API u_err_t can_read_pztramp_errchk(sys_info *instr, uint32_t *faults);

// Single writes of the encoded zoom set-up (node 64).
FERRY_API u_err_t kps_enc_zoom_set_motion_mode(sys_info *instr);
FERRY_API u_err_t kps_enc_zoom_set_soft_limits(int32_t lower, int32_t upper);
FERRY_API u_err_t kps_enc_zoom_write_backlash(int32_t backlash);

#ifdef __cplusplus
}
#endif
