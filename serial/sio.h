#pragma once
// Serial port layer: the library's one way of talking to instruments on
// RS-232 ports. Configuration steps return catalogue codes; data transfer
// returns 0 for success and 1 for failure (ERR_SERIAL_NOT_OPEN on a port
// that is not open).

#include <stdint.h>

#include "base/errors.h"
#include "base/serial_port.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  SIO_XON_CHAR = 17,
  SIO_XOFF_CHAR = 19,
  SIO_XON_LIMIT = 100,
  SIO_XOFF_LIMIT = 3996,
  SIO_QUEUE_IN = 4096,
  SIO_QUEUE_OUT = 4096,
  // Time-outs that sio_init sets, in ms.
  SIO_READ_INTERVAL_MS = 100,
  SIO_READ_TOTAL_MS = 2000,
  SIO_WRITE_TOTAL_MS = 1000,
  // sio_clear_buffer treats the line as quiet after this long.
  SIO_QUIET_MS = 100
};

// True when the record holds an open port.
FERRY_API int sio_is_open(const sio_port *port);

// Opens the named device (a COM name on Windows, a device path such as
// /dev/ttyUSB0 on POSIX) into the record: 0; ERR_CANT_OPEN_SERIAL with the
// record left not open; ERR_CANT_SET_SERIAL when the event mask or queue
// sizes cannot be set (the port stays open; the caller closes it).
FERRY_API u_err_t sio_open(const char *device_name, sio_port *port);

// Applies the settings text "baud,bits,parity,stop" (null, or one of the
// fopen mode texts "r" "r+" "w" "w+" "a" "a+", for 9600 8N1), the fixed
// flow-control constants, xonxoff as software flow control, and the default
// time-outs; then raises DTR.
FERRY_API u_err_t sio_init(sio_port *port, const char *settings, int xonxoff);
FERRY_API u_err_t sio_init_xonxoff(sio_port *port, const char *settings);

FERRY_API u_err_t sio_set_baud(sio_port *port, int32_t baud);
// Parity code 0 none, 1 odd, 2 even; checking is on exactly when not 0.
FERRY_API u_err_t sio_set_parity(sio_port *port, int32_t parity);
FERRY_API u_err_t sio_set_data_bits(sio_port *port, int32_t data_bits);
FERRY_API u_err_t sio_enable_xonxoff(sio_port *port);
FERRY_API u_err_t sio_disable_xonxoff(sio_port *port);

// The port's time-out (the read total constant) in whole seconds.
FERRY_API u_err_t sio_get_timeout(sio_port *port, int32_t *seconds);
FERRY_API u_err_t sio_set_timeout(sio_port *port, int32_t seconds);

// 0 when all count bytes were written and have left the driver, else 1.
FERRY_API int sio_send_data(sio_port *port, const void *bytes, uint32_t count, uint32_t *written);
// 0 when exactly count bytes were read, else 1 with the count read.
FERRY_API int sio_read_data(sio_port *port, void *buffer, uint32_t count, uint32_t *read);
// 0 with the bytes waiting in the input queue; 1 with 0 on failure.
FERRY_API int sio_bytes_available(sio_port *port, uint32_t *count);
// Discards input until the line has been quiet for SIO_QUIET_MS: 0 when
// drained, 1 otherwise.
FERRY_API int sio_clear_buffer(sio_port *port);

// Drops DTR, purges, closes; the record becomes not open.
FERRY_API u_err_t sio_close(sio_port *port);

#ifdef __cplusplus
}
#endif
