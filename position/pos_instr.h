#pragma once
// Position instruments: the record the host configures, and the digital
// readouts on serial lines (Metronics and Heid).

#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"
#include "serial/sio.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  POS_INSTR_HEID = 3,
  POS_INSTR_METRONICS = 9,
  POS_INSTR_NAME_MAX = 260,
  // A readout's reply line holds at most this many characters before its
  // CR or LF.
  POS_INSTR_LINE_MAX = 79,
  // Pause after a reply before the rest of the line is discarded, in ms.
  POS_INSTR_SETTLE_MS = 100
};

// Position instrument record: created cleared; the host sets the type and
// the device name, the open operations fill the port.
typedef struct pos_instr {
  int32_t type;
  char device_name[POS_INSTR_NAME_MAX];
  sio_port port;
} pos_instr;

// Metronics readout (type 9): 115200 baud, 8 data bits, no parity.
FERRY_API u_err_t pi_metronics_open(pos_instr *pi);
// Reads the position in millimetres into *value (may be null); *value is
// positive infinity unless the reading succeeds. 0 or ERR_POS_INSTR_COMM.
FERRY_API u_err_t metronics_read_pos(pos_instr *pi, double *value);
// Reads one position and discards it.
FERRY_API u_err_t pi_metronics_init(pos_instr *pi);
FERRY_API u_err_t pi_metronics_close(pos_instr *pi);

// Heid readout (type 3): 2400 baud, 7 data bits, even parity, XON/XOFF.
FERRY_API u_err_t pi_heid_open(pos_instr *pi);
// Reads the displayed value into *value (may be null); positive infinity
// unless the reading succeeds. 0 or ERR_POS_INSTR_COMM.
FERRY_API u_err_t heid_read_val(pos_instr *pi, double *value);
// Read and initialise wrappers: *failed (may be null) is 1 when the reading
// failed, else 0; the result is 0.
FERRY_API u_err_t pi_heid_read(pos_instr *pi, double *value, int32_t *failed);
FERRY_API u_err_t pi_heid_init(pos_instr *pi, int32_t *failed);
FERRY_API u_err_t pi_heid_close(pos_instr *pi);

#ifdef __cplusplus
}
#endif
