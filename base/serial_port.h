#pragma once
// The serial port record: the instrument's record holds its links by value,
// and the serial layer (serial/sio.h) operates on them.

#include "platform/serial_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// One operating-system handle. A cleared record, and one left behind by a
// failed sio_open or by sio_close, is not open: every operation on it
// returns ERR_SERIAL_NOT_OPEN without touching the system.
typedef struct sio_port {
  plat_serial port;
} sio_port;

#ifdef __cplusplus
}
#endif
