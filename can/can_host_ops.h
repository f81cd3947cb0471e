#pragma once
// Steps the CAN modules take that belong to other parts of the host: the
// automatic gain control, loading ramps into the instrument, the sleep
// mode, the light-level set-up, the digital scanner's verification, the
// camera pedestal file, the wave monitor and the PZT ramper. A host
// installs its own operations; every default succeeds and does nothing.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct can_host_ops {
  // Automatic gain control: set-up, and its thread.
  u_err_t (*can_agc_init)(sys_info *instr);
  void (*can_agc_stop_thread)(sys_info *instr);
  void (*can_agc_start_thread)(sys_info *instr);
  bool (*agc_thread_running)(void);
  // Loads the ramp table into the instrument.
  u_err_t (*load_ramps)(sys_info *instr);
  // Sleep mode: choosing it at power-on, its timer, stopping its thread,
  // and the activity signal of every SDO access (the sleep-mode reset).
  u_err_t (*sleep_mode_choose)(sys_info *instr);
  u_err_t (*sleep_timer_start)(sys_info *instr);
  u_err_t (*sleep_thread_stop)(sys_info *instr);
  void (*sleep_activity)(void);
  // Light level: the set-up after the brush motor is known, the mode of the
  // ND wheel, and storing the wheel's level back into the configuration.
  u_err_t (*light_level_setup)(sys_info *instr);
  u_err_t (*light_level_mode)(sys_info *instr);
  void (*light_level_store)(sys_info *instr);
  // Verifies the digital scanner's amplitude and velocity for a ramp.
  u_err_t (*scanner_verify)(sys_info *instr, int32_t ramp_index);
  // Derives the camera pedestal file name; sets up the wave monitor.
  u_err_t (*pedestal_file_name)(sys_info *instr);
  u_err_t (*wave_monitor_setup)(sys_info *instr);
  // The PZT ramper's accessors.
  u_err_t (*can_write_pztramp_select)(sys_info *instr, int32_t slot);
  u_err_t (*can_read_pztramp_valid)(sys_info *instr, int32_t slot, uint8_t *valid);
  u_err_t (*can_read_pztramp_status)(sys_info *instr, uint8_t *status);
  u_err_t (*can_pztramp_start)(sys_info *instr);
} can_host_ops;

// Installs a host's operations (copied); a null member keeps its default,
// a null record puts every default back. Install them before the instrument
// is powered on, not while CAN operations run.
FERRY_API void can_set_host_ops(const can_host_ops *ops);
// The operations in force; every member is set.
FERRY_API const can_host_ops *can_get_host_ops(void);

#ifdef __cplusplus
}
#endif
