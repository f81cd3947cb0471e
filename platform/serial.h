#pragma once
// Serial facility: the operating system's serial ports, seen the way the
// Win32 communications API shows them (device-control block, time-outs,
// purge, error status, DTR). The POSIX build reproduces those behaviours on
// termios. Every time-out is scaled by plat_scaled_ms (platform/clock.h).
//
// Also the pseudo-terminal pairs that the serial device simulators serve.

#include <stdbool.h>
#include <stddef.h>
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
  PLAT_SERIAL_RTS_HANDSHAKE = 2,
  // A read interval of this value with zero totals returns at once with
  // whatever is queued.
  PLAT_SERIAL_MAXDWORD = 0xFFFFFFFFu
};

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

// Opens the named device for reading and writing, not shared (a COM name
// on Windows, a device path on POSIX). False leaves port->handle 0.
bool plat_serial_open(const char *name, plat_serial *port);
// Closes the handle; port->handle becomes 0 on success.
bool plat_serial_close(plat_serial *port);

// Event mask: true selects character-received events, false clears it.
bool plat_serial_set_rx_event_mask(plat_serial *port, bool on);
// Driver queue sizes.
bool plat_serial_setup_queues(plat_serial *port, uint32_t in_bytes, uint32_t out_bytes);

bool plat_serial_get_state(plat_serial *port, plat_serial_state *state);
bool plat_serial_set_state(plat_serial *port, const plat_serial_state *state);

bool plat_serial_get_timeouts(plat_serial *port, plat_serial_timeouts *timeouts);
bool plat_serial_set_timeouts(plat_serial *port, const plat_serial_timeouts *timeouts);

// Writes under the write time-outs; *written tells how many bytes went.
bool plat_serial_write(plat_serial *port, const void *bytes, uint32_t count, uint32_t *written);
// Reads under the read time-outs. A read that runs out of time returns true
// with fewer bytes than asked, as the Win32 read does.
bool plat_serial_read(plat_serial *port, void *buffer, uint32_t count, uint32_t *read);

// Reports and clears the pending line errors (PLAT_SERIAL_ERR_* bits) and
// the bytes waiting in the input and output queues; any out-pointer may be
// null.
bool plat_serial_status(plat_serial *port, uint32_t *errors, uint32_t *in_queue,
                        uint32_t *out_queue);

// Discards both queues and ends pending reads and writes.
bool plat_serial_purge(plat_serial *port);

bool plat_serial_set_dtr(plat_serial *port, bool on);

// Pseudo-terminal pairs for the simulators. plat_pty_open creates a pair in
// raw mode and gives the master side and the path of the other side (the
// device a library port opens). False where the system has none.
bool plat_pty_open(intptr_t *master, char *path, size_t path_bytes);
void plat_pty_close(intptr_t master);
// Waits up to timeout_ms (unscaled) for bytes from the library's side and
// reads what is there; returns the count, 0 when nothing came, -1 on error.
int plat_pty_read(intptr_t master, void *buffer, size_t bytes, uint32_t timeout_ms);
// Writes all bytes to the library's side; false on error.
bool plat_pty_write(intptr_t master, const void *bytes, size_t count);

// The line settings the library's side of a pair holds, read through the
// master's own descriptor: what a port's settings became on the terminal,
// decoded without the port layer's translation so that tests can check it.
typedef struct plat_pty_line {
  uint32_t in_baud; // 0 for a rate without a number here
  uint32_t out_baud;
  uint8_t data_bits; // 5..8
  bool parity_bit;   // a parity bit is sent and expected
  bool parity_odd;   // odd when set, else even
  bool two_stop_bits;
  bool parity_check; // received bytes are checked
  bool raw;          // bytes pass untouched both ways: no line editing, echo,
                     // signals, line-end translation or output processing
  bool out_xonxoff;  // XON/XOFF when sending
  bool in_xonxoff;   // XON/XOFF when receiving
  bool cts_flow;     // hardware flow control
  uint8_t xon_char;
  uint8_t xoff_char;
  // Whether this system's pseudo-terminals keep the data size and the parity
  // bit at all: Linux ones carry eight bits without parity whatever is set,
  // so there data_bits and parity_bit say nothing about the settings.
  bool holds_data_bits;
  bool holds_parity_bit;
} plat_pty_line;

// False where there are no pseudo-terminals (Windows) or the settings
// cannot be read.
bool plat_pty_line_settings(intptr_t master, plat_pty_line *line);

// Readiness of a port for a thread that does not own it (the device
// control worker), by its handle alone: true when it is an open port with
// bytes waiting in its input queue and no line error pending. The owner's
// record is not touched, and no line error is lost to the owner. On
// Windows the queue count comes only with the error report that clears the
// driver's errors: the errors taken are parked for the port and handed over
// by the owner's next plat_serial_status. On POSIX only the queue is asked;
// the kernel keeps counting line errors for the owner's next status.
bool plat_serial_input_ready(int64_t handle);
// The line errors (PLAT_SERIAL_ERR_* bits) a readiness test took from the
// driver for this handle since the last call, then none; always 0 where the
// test clears nothing.
uint32_t plat_serial_take_parked_errors(intptr_t handle);

#ifdef __cplusplus
}
#endif
