#pragma once
// Wave monitor: the small controller beside a tunable laser. It takes ASCII
// commands ended by CR and answers in binary (little-endian values) closed
// by ACK or NAK. This module speaks that link, decodes the status and
// calibration reports into the instrument's system information, switches
// the laser and checks requested ramps against the tuning limits.

#include <stddef.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"
#include "serial/sio.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  WM_ACK = 0x06,
  WM_NAK = 0x15,
  WM_CR = 0x0D,
  WM_DEVICE_NAME_MAX = 260,
  // First-byte time-out used when the caller passes less than 1 second.
  WM_DEFAULT_FIRST_BYTE_TIMEOUT_S = 10,
  // Largest answer a sized read accepts. The device names the element count
  // itself; anything beyond this is a corrupt count, never a real table.
  WM_MAX_RESPONSE_BYTES = 1 << 20,
  // Most buckets a ramp may have.
  WM_MAX_BUCKETS = 3800,
  // Laser switch: attempts and the pause before each.
  WM_LASER_ATTEMPTS = 10,
  WM_LASER_PAUSE_MS = 1000,
  // Bit of the laser word that is set while the laser is on.
  WM_LASER_ON_BIT = 1 << 15
};

// How a response is framed.
typedef enum wm_resp_type {
  WM_RESP_ACK = 1,          // one byte: ACK or NAK
  WM_RESP_READ = 2,         // data length bytes
  WM_RESP_READ_ACK = 3,     // data length bytes, then ACK or NAK
  WM_RESP_SIZE_READ_ACK = 4 // 32-bit count n, data length + n x element size bytes, ACK
} wm_resp_type;

// Unit scale codes of the reported limits: 10^0, 10^3, 10^6, 10^9, 10^12.
enum { WM_SCALE_1 = 1101, WM_SCALE_1E3, WM_SCALE_1E6, WM_SCALE_1E9, WM_SCALE_1E12 };

// The link: a port and the device name it was opened with.
typedef struct wm_link {
  sio_port port;
  char device_name[WM_DEVICE_NAME_MAX + 1];
} wm_link;

// A response, sized by the read to the bytes it holds. Taken through the
// memory hooks; the caller gives it back with wm_resp_free.
typedef struct wm_resp_buf {
  // Bytes held; a plain read (type 2) adds a zero byte after the data.
  uint32_t size;
  uint8_t *data;
} wm_resp_buf;

// The nine words of the "MS?" report.
typedef struct wm_status {
  uint32_t word0;
  float values[5]; // words 1 to 5
  int32_t cal_age; // word 6, seconds
  int32_t word7;
  uint32_t flags; // word 8
} wm_status;

// A ramp to check against the tuning limits. camera_rate is the frame rate
// of the current camera selection (frames per second).
typedef struct wm_ramp_request {
  double tuning_range;
  int32_t buckets;
  double camera_rate;
} wm_ramp_request;

FERRY_API void wm_resp_free(wm_resp_buf *buf);

FERRY_API u_err_t wm_comm_open_fd(wm_link *link, const char *device_name);
FERRY_API u_err_t wm_comm_close(wm_link *link);
FERRY_API u_err_t wm_flush_inp(wm_link *link);
FERRY_API u_err_t wm_comm_write(wm_link *link, const char *command);
FERRY_API u_err_t wm_comm_read(wm_link *link, wm_resp_buf *buf, int32_t data_len, int32_t elem_size,
                               int32_t resp_type, int32_t first_byte_timeout_s);
FERRY_API u_err_t wm_comm_write_rd(wm_link *link, const char *command, wm_resp_buf *buf,
                                   int32_t data_len, int32_t elem_size, int32_t resp_type,
                                   int32_t first_byte_timeout_s);

FERRY_API u_err_t wm_read_laser(wm_link *link, uint32_t *word);
FERRY_API u_err_t wm_read_status(wm_link *link, wm_status *status);
FERRY_API u_err_t wm_read_system_gain(wm_link *link, float *gain);
FERRY_API u_err_t wm_write_laser(wm_link *link, uint8_t on);
FERRY_API u_err_t wm_write_cl(wm_link *link, double value);
FERRY_API u_err_t wm_write_ss(wm_link *link, float value);
FERRY_API u_err_t wm_write_rr(wm_link *link, int32_t a, int32_t b, int32_t *out_a, int32_t *out_b);

// Refreshes info->serial.wm from the device on info->serial.wm_link.
FERRY_API u_err_t wm_update_status(sys_info *info);
FERRY_API void wm_print_calibration(const wm_state *state);
FERRY_API u_err_t wm_set_laser_with_wait(wm_link *link, uint8_t on);

// x given in scale code `from`, expressed in scale code `to`; +infinity for
// a code outside 1101..1105.
FERRY_API double wm_convert_scale(double x, int32_t from, int32_t to);
FERRY_API u_err_t wm_get_tuning_limits(const sys_info *info, wm_tuning_limits *limits);
FERRY_API u_err_t wm_verify_ramp_in_limits(const sys_info *info, const wm_ramp_request *request);

#ifdef __cplusplus
}
#endif
