#pragma once
// The instrument's system information: what the library knows of one
// connected instrument. Up to four instruments exist in a process. The
// system calibration reader and the host fill it; the ramp, device and
// protocol modules read it and keep their state in their own sections.

#include <stdint.h>

#include "base/sys_info_board.h"
#include "base/sys_info_can.h"
#include "base/sys_info_ramps.h"
#include "base/sys_info_serial.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SYS_INFO_MAX_INSTRUMENTS = 4, SYS_INFO_NAME_MAX = 260 };

typedef struct sys_info {
  // Nonzero once the record has been set up for a connected instrument.
  int32_t set_up;
  // Instrument board type.
  int32_t instrBdType;
  // System type code and the secondary type code.
  int32_t sys_type;
  int32_t sys_type2;
  sys_info_ramps ramps;
  sys_info_serial serial;
  sys_info_board board;
  sys_info_can can;
} sys_info;

// The process's instrument records, cleared at start.
FERRY_API extern sys_info sys_info_instruments[SYS_INFO_MAX_INSTRUMENTS];

#ifdef __cplusplus
}
#endif
