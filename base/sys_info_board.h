#pragma once
// Instrument-board section of the instrument's system information: the
// board's serial link and its device name.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sys_info_board {
  // Filled in by the instrument-board protocol.
  int32_t unused;
} sys_info_board;

#ifdef __cplusplus
}
#endif
