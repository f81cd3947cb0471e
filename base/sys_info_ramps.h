#pragma once
// Ramp section of the instrument's system information: the scanners the
// ramps are made for, where the ramp set comes from, the loaded ramp table
// and what the instrument's ramp slots hold.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The ramp table's records belong to the ramp library (ramps/ramp_file.h).
struct rr_ramp;

enum {
  SYS_INFO_RAMP_SLOTS = 12,
  SYS_INFO_RAMP_SLOT_EMPTY = 255,
  SYS_INFO_RAMP_CONFIG_NAME_MAX = 260
};

typedef struct sys_info_ramps {
  // Nonzero when the instrument has a PIFOC scanner; its serial number.
  int32_t pifoc_present;
  int32_t pifoc_serial;
  // Serial number of the PZT scanner.
  int32_t pzt_serial;
  // Name of the ramp configuration file in the ramps directory; empty: none.
  char ramp_config_file[SYS_INFO_RAMP_CONFIG_NAME_MAX + 1];
  // The ramp table (taken through the memory hooks) and its count.
  struct rr_ramp *ramp_table;
  int32_t ramp_count;
  // Nonzero when the table follows a ramp configuration file.
  int32_t ramps_from_config;
  // Ramp identifier held by each of the instrument's slots, or 255.
  uint8_t ramp_slot[SYS_INFO_RAMP_SLOTS];
} sys_info_ramps;

#ifdef __cplusplus
}
#endif
