#pragma once
// Temperature controller on a serial line: an addressed ASCII protocol
// framed by control characters and protected by an XOR block check.

#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"
#include "serial/sio.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TEMP_EOT = 0x04,
  TEMP_STX = 0x02,
  TEMP_ETX = 0x03,
  TEMP_ENQ = 0x05,
  TEMP_NAK = 0x15,
  // Longest response text between STX and ETX; a text buffer that receives
  // a value holds TEMP_STR_MAX_LEN + 1 bytes.
  TEMP_STR_MAX_LEN = 255,
  TEMP_FRAME_WRITE = 1,
  TEMP_FRAME_READ = 2,
  // How long the controller may take to begin an answer, in seconds.
  TEMP_FIRST_BYTE_TIMEOUT_S = 10,
  // Pause after the set-up sequence, in ms.
  TEMP_SETUP_SETTLE_MS = 5000
};

// The controller's address, sent after EOT.
#define TEMP_ADDRESS "0011"

// Opens and sets up the link (9600 baud, 7 data bits, even parity, no flow
// control): 0 or ERR_TEMP_SENSOR_COMM.
FERRY_API u_err_t temp_comm_open(sio_port *link, const char *device_name);
// 0 (also without a link) or ERR_TEMP_SENSOR_COMM.
FERRY_API u_err_t temp_comm_close(sio_port *link);

// Sends a write frame (type 1: text is mnemonic and value, for example
// "IM0002.") or a read frame (type 2: text is the two-letter mnemonic) and
// reads the answer. For a read, text must hold TEMP_STR_MAX_LEN + 1 bytes
// and receives the value without its mnemonic. Without a link: 0, nothing
// sent.
FERRY_API u_err_t temp_comm_write(sio_port *link, char *text, int32_t length, int32_t type);
// Reads one answer of response type 1 (to a write) or 2 (to a read) into
// text (TEMP_STR_MAX_LEN + 1 bytes); without a link: 0 and an empty text.
FERRY_API u_err_t temp_comm_read(sio_port *link, char *text, int32_t type);

// Sends the set-up sequence of an instrument being switched on.
FERRY_API u_err_t temp_sensor_setup(sio_port *link);

// The block check of a frame: XOR of every byte after STX up to and
// including ETX.
FERRY_API uint8_t temp_bcc(const uint8_t *bytes, uint32_t count);

#ifdef __cplusplus
}
#endif
