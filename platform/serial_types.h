#pragma once
// The records of the serial facility (platform/serial.h): an open port, its
// time-outs and its line settings. Records only, so the instrument's record
// and the serial layer's public header can hold a port without the
// facility's functions.

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// An open port. handle 0 marks a port that is not open, so a cleared record
// is a closed port. The time-outs are kept here as the library set them
// (unscaled); the system gets them scaled.
typedef struct plat_serial_timeouts {
  uint32_t read_interval;         // ms allowed between two bytes of a read
  uint32_t read_total_multiplier; // ms per requested byte
  uint32_t read_total_constant;   // ms added to the read total
  uint32_t write_total_multiplier;
  uint32_t write_total_constant;
} plat_serial_timeouts;

enum {
  PLAT_SERIAL_DTR_DISABLE = 0,
  PLAT_SERIAL_DTR_ENABLE = 1,
  PLAT_SERIAL_RTS_DISABLE = 0,
  PLAT_SERIAL_RTS_ENABLE = 1,
  PLAT_SERIAL_RTS_HANDSHAKE = 2
};

// A read interval of this value with zero totals returns at once with
// whatever is queued. (Beyond an int, so no enumerator.)
#define PLAT_SERIAL_MAXDWORD 0xFFFFFFFFu

// The line settings of the device-control block that the library uses.
typedef struct plat_serial_state {
  uint32_t baud;
  uint8_t data_bits;   // 5..8
  uint8_t parity;      // 0 none, 1 odd, 2 even
  uint8_t stop_bits;   // 0 one, 1 one and a half, 2 two
  bool parity_check;   // check parity of received bytes
  bool binary;         // no end-of-file processing
  bool out_xonxoff;    // XON/XOFF when sending
  bool in_xonxoff;     // XON/XOFF when receiving
  bool out_cts_flow;   // CTS output flow control
  bool abort_on_error; // reads and writes stop on a line error
  uint8_t dtr_control; // PLAT_SERIAL_DTR_*
  uint8_t rts_control; // PLAT_SERIAL_RTS_*
  uint8_t xon_char;
  uint8_t xoff_char;
  uint16_t xon_limit;
  uint16_t xoff_limit;
} plat_serial_state;

// Line errors of plat_serial_status (the Win32 CE_ bits).
enum {
  PLAT_SERIAL_ERR_RXOVER = 0x0001,
  PLAT_SERIAL_ERR_OVERRUN = 0x0002,
  PLAT_SERIAL_ERR_PARITY = 0x0004,
  PLAT_SERIAL_ERR_FRAME = 0x0008,
  PLAT_SERIAL_ERR_BREAK = 0x0010
};

typedef struct plat_serial {
  intptr_t handle;
  plat_serial_timeouts timeouts;
  // POSIX only: the settings termios has no place for (one and a half stop
  // bits, flow limits, DTR and RTS modes) and the line-error counters last
  // seen, so that status reports only new errors.
  plat_serial_state settings;
  uint32_t error_counts[4];
} plat_serial;

#ifdef __cplusplus
}
#endif
