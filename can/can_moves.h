#pragma once
// Operations that move something on the instrument and wait for it: homing
// the ND wheel, turning the ring/spot disk, starting a ramp, switching the
// auxiliary motor. Every pause is followed by the idle hook.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Homes the ND wheel, then waits for it to reach its initial position, both
// within limit_ms. Polled: reads the motor status; otherwise runs the event
// pump and watches the wheel's reports.
FERRY_API u_err_t can_home_ndw(sys_info *instr, bool polled, int32_t limit_ms);

// Turns the ring/spot disk to position 0 or 1; with wait, on the systems
// that report the move (23, 30, 32), until it stops (500 polls, 250 ms
// apart).
FERRY_API u_err_t can_move_rs_disk(sys_info *instr, int32_t position, bool wait);

// Starts ramp ramp_index of the loaded ramp table on the system's ramper.
FERRY_API u_err_t can_start_ramp(sys_info *instr, int32_t ramp_index);

// Switches the auxiliary motor (node 66) on or off and waits until it is
// ready (21 polls, 250 ms apart).
FERRY_API u_err_t can_switch_aux_motor(sys_info *instr, bool on);

#ifdef __cplusplus
}
#endif
