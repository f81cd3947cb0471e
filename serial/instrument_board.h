#pragma once
// Instrument boards on a serial line (board types 1, 3, 6 and 7): short
// binary command packets protected by an 8-bit sum, answered by an
// acknowledgement, a negative acknowledgement, a reply or an unsolicited
// report.
//
// Request packet: byte 0 = n, the number of bytes that follow; byte 1 =
// command code; bytes 2 .. n-1 = arguments; byte n = checksum (the low 8
// bits of the sum of bytes 1 .. n-1). A response is the same shape: a count
// (read as signed), a response code or the echoed command, data, checksum.
//
// The board link is the instrument's sys_info.board.link; a link is matched
// to its instrument by its port handle, and a link that is not open matches
// none. One exchange at a time per link.

#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"
#include "serial/sio.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  UR_BAUD = 38400,
  // A packet: the count byte and at most 127 bytes. A request counts 2
  // (command and checksum) to 127.
  UR_FRAME_MAX = 128,
  UR_COUNT_MIN = 2,
  UR_COUNT_MAX = 127,
  // Response codes.
  UR_ACK = 0xFF,
  UR_NAK = 0xFE,
  // Response types a caller asks ur_readUZ for.
  UR_RESP_ACK = 1,
  UR_RESP_REPLY = 2,
  UR_RESP_UNSOLICITED = 3,
  // Markers of ur_readUZ's result: the board refused the request, and the
  // response's checksum did not match. They belong to this exchange only:
  // the error catalogue has other names for the same numbers
  // (ERR_MC_AXIS_INACTIVE, ERR_MC_AXIS_NOT_HOMED), and ur_writeUZ turns them
  // into retries and finally into ERR_UZ_RECV_FAILED.
  UR_MARK_CHECKSUM = 254,
  UR_MARK_NAK = 255,
  // Sends of one request, reads of one response.
  UR_ATTEMPTS = 3,
  // How long a board may take to begin its answer, in seconds.
  UR_FIRST_BYTE_TIMEOUT_S = 10
};

// Opens and sets up the board link of the instrument on its device name
// (38400 baud, no flow control) and registers it with the device control
// table as type 2 (the table must be initialised). A link still open is
// closed first. 0 or ERR_UZ_COMM, every failure printed with its cause.
FERRY_API u_err_t ur_initUZ(sys_info *info);
// Removes the link from the device table and closes it, even when the
// removal fails: ERR_INVALID_PARAM without an open link, else the first
// failure, or 0.
FERRY_API u_err_t ur_closeUZ(sio_port *link);
// Discards input until the line is quiet: 0 or ERR_UZ_COMM.
FERRY_API u_err_t ur_flushUZ(sio_port *link);

// Sends the request of n bytes after the count (n in 2..127) held in
// buffer, which holds size bytes, at least n + 1. Unless checksum_present,
// the checksum is stored at buffer[n] first. Sent up to three times while
// the board refuses or the response's checksum fails. With reply_expected,
// the reply must echo the command, and its first count bytes (count byte
// included) are copied over buffer. 0; ERR_INVALID_PARAM (count or buffer);
// ERR_UZ_SEND_FAILED; ERR_UZ_RECV_FAILED (refused three times, a wrong
// echo, an empty response, a reply longer than size); or ur_readUZ's
// failures. A failure is printed with the command's name.
FERRY_API u_err_t ur_writeUZ(sio_port *link, int32_t n, uint8_t *buffer, int32_t size,
                             int32_t reply_expected, int32_t checksum_present);
// Reads one response of resp_type (UR_RESP_*) into buffer, which holds
// size bytes: the count byte and the n bytes after it, with *count = n.
// Unsolicited reports that are not the answer wanted are skipped, up to
// three reads. A count byte of 0 or above 127 ends the read at once: 0 with
// *count = 0 and only buffer[0] written. Results: 0; UR_MARK_NAK or
// UR_MARK_CHECKSUM (markers, see above); ERR_SYS_INFO_NOT_AVAIL (the link
// belongs to no instrument); ERR_WRONG_INSTR_BOARD; ERR_UZ_RECV_TIMEOUT;
// ERR_UZ_RECV_FAILED (not the answer wanted, or longer than size);
// ERR_INVALID_PARAM (buffer, size or resp_type). Nothing is written to
// buffer but on success.
FERRY_API u_err_t ur_readUZ(sio_port *link, uint8_t *buffer, int32_t size, int32_t resp_type,
                            int32_t *count);

// The name of a command of the link's instrument board: a code beyond the
// board's table is named by its entry 0; "INVALID_PARAM" when the link
// belongs to no instrument; "" (after a message) for a board type that has
// no table.
FERRY_API const char *ur_cmd_str(const sio_port *link, int32_t code);
// The low 8 bits of the sum of count bytes.
FERRY_API uint8_t ur_checksum(const uint8_t *bytes, int32_t count);

#ifdef __cplusplus
}
#endif
