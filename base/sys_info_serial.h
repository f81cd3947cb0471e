#pragma once
// Serial-protocol section of the instrument's system information: the wave
// monitor's link, the state it last reported and the tuning limits that the
// system calibration configures.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The link record belongs to the wave monitor protocol (serial/wave_monitor.h);
// the host opens it and hangs it here.
struct wm_link;

// Tuning limits of a phase-shifting ramp, in base units.
typedef struct wm_tuning_limits {
  double min_range;
  double max_range;
  double min_rate;
  double max_rate;
} wm_tuning_limits;

// Wave monitor state as last reported by the device.
typedef struct wm_state {
  // Status flags, their feature bits (flags & 0xF0000000) and bit 0.
  uint32_t status_flags;
  uint32_t features;
  int32_t calibrated;
  // Seconds since 1970 when the device was calibrated; 0 when it is not.
  int64_t cal_time;
  // Status words 1 and 2, 6 (calibration age in seconds) and 7, as reported.
  float status_word1;
  float status_word2;
  int32_t cal_age;
  int32_t status_word7;
  float system_gain;
  float adc_gain[4];      // A, B, C, D
  uint16_t adc_offset[4]; // A, B, C, D
  double phase_offset[3]; // 01, 12, 23
  // Limits the device reported (minimum range always 0).
  wm_tuning_limits limits;
} wm_state;

typedef struct sys_info_serial {
  // The open wave monitor link, or none.
  struct wm_link *wm_link;
  wm_state wm;
  // Limits from the system calibration, used on the systems that have them.
  wm_tuning_limits wm_config_limits;
} sys_info_serial;

#ifdef __cplusplus
}
#endif
