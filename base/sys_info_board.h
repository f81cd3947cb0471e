#pragma once
// Instrument-board section of the instrument's system information: the
// board's serial link and the device name it is opened on.
//
// The link is held here by value, so it lives exactly as long as the
// instrument's record and a cleared record is a closed link. That takes the
// serial layer's port record into this header, the one place where the
// record of the instrument reaches above the base services.

#include <stdint.h>

#include "serial/sio.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { SYS_INFO_BOARD_DEVICE_MAX = 260 };

typedef struct sys_info_board {
  // The device the board is on: a COM name on Windows, a device path on
  // POSIX. NUL-ended.
  char device_name[SYS_INFO_BOARD_DEVICE_MAX];
  // Opened by ur_initUZ, closed by ur_closeUZ.
  sio_port link;
} sys_info_board;

#ifdef __cplusplus
}
#endif
