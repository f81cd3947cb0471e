#pragma once
// Powering a CAN instrument on and off through its bridge.
//
// can_inst_on finds and connects the bridge, configures it, clears its
// errors, brings the nodes of the system's family up, loads the ramps,
// registers the CAN event source in the device control table (type 64,
// handle DEV_CAN_HANDLE, owner the instrument) and installs the event
// handlers. A power-on that fails leaves nothing behind: no registered
// source, no handlers, the bridge disconnected.
//
// can_inst_off undoes it: every step runs even when one before it failed,
// the bridge ends disconnected, and the first failure is the result.
//
// Steps that belong to the host (automatic gain control, ramp loading, sleep
// mode, light level, pedestal file, wave monitor) go through can_host_ops.

#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

FERRY_API u_err_t can_inst_on(sys_info *instr);
FERRY_API u_err_t can_inst_off(sys_info *instr);

// The power-on sequences of the system families: LED-based with the dual
// brush motor (a), the same with the triple PZT (b), and the KPS family.
FERRY_API u_err_t can_systype_a_on(sys_info *instr);
FERRY_API u_err_t can_systype_b_on(sys_info *instr);
FERRY_API u_err_t can_kps_on(sys_info *instr);

// Holds on the automatic gain control's thread taken by power-ons under
// way; the thread is stopped while any is held.
FERRY_API int32_t can_agc_holds(void);

#ifdef __cplusplus
}
#endif
