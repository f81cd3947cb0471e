#pragma once
// CAN section of the instrument's system information: the node flags, the
// bridge record and the settings the CAN modules read.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sys_info_can {
  // Filled in by the CAN modules.
  int32_t unused;
} sys_info_can;

#ifdef __cplusplus
}
#endif
