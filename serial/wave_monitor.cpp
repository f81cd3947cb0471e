#include "serial/wave_monitor.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>

#include "base/console.h"
#include "base/hooks.h"
#include "platform/clock.h"

namespace {

constexpr int32_t kLinkBaud = 115200;
constexpr uint32_t kFeatureMask = 0xF0000000u;
constexpr uint32_t kFeatureLongCal = 1u << 30;  // calibration answers in 40 bytes
constexpr uint32_t kFeatureShortCal = 1u << 31; // calibration answers in 4 bytes
constexpr uint32_t kCalibratedBit = 1u << 0;
constexpr int32_t kStatusBytes = 36;
constexpr int32_t kLongCalBytes = 40;
constexpr double kLimitSlack = 0.001;

// Names of the response types, the prefix of every detail text.
constexpr const char *kRespTypeName[] = {"", "WM_RESP_ACK", "WM_RESP_READ", "WM_RESP_READ_ACK",
                                         "WM_RESP_SIZE_READ_ACK"};

// Factors of the unit scale codes 1101..1105.
constexpr double kScaleFactor[] = {1.0, 1e3, 1e6, 1e9, 1e12};

// System types whose limits come from the system calibration, and among
// them those that carry a wave monitor.
constexpr int32_t kConfiguredLimitTypes[] = {19, 27, 30, 32, 33};
constexpr int32_t kWaveMonitorTypes[] = {19, 30};

template <size_t N> bool contains(const int32_t (&table)[N], int32_t value) {
  return std::find(std::begin(table), std::end(table), value) != std::end(table);
}

int64_t now_seconds() {
  int64_t seconds = 0;
  int ms = 0;
  plat_wall_clock(&seconds, &ms);
  return seconds;
}

// The detail text of a failed read, formatted where the failure is found.
struct Detail {
  char text[160] = "";
  void set(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
};

uint32_t u32_le(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t u16_le(const uint8_t *p) {
  return uint16_t(p[0] | p[1] << 8);
}
float f32_le(const uint8_t *p) {
  return std::bit_cast<float>(u32_le(p));
}

// Gives the response buffer exactly `bytes` bytes, keeping what it holds.
bool resp_resize(wm_resp_buf *buf, uint32_t bytes) {
  void *grown = buf->data ? u_realloc_hook(buf->data, bytes) : u_malloc_hook(bytes);
  if (!grown)
    return false;
  buf->data = static_cast<uint8_t *>(grown);
  buf->size = bytes;
  return true;
}

bool read_byte(wm_link *link, uint8_t *byte) {
  uint32_t got = 0;
  return sio_read_data(&link->port, byte, 1, &got) == 0 && got == 1;
}

// Reads bytes first..total (counted from 1) of a response into the buffer.
// On a failed byte, *failed_at names it.
bool read_bytes(wm_link *link, wm_resp_buf *buf, uint32_t first, uint32_t total,
                uint32_t *failed_at) {
  for (uint32_t n = first; n <= total; ++n) {
    if (!read_byte(link, &buf->data[n - 1])) {
      *failed_at = n;
      return false;
    }
  }
  return true;
}

u_err_t judge_last_byte(uint8_t byte, int32_t type, Detail &detail) {
  if (byte == WM_ACK)
    return ERR_NONE;
  if (byte == WM_NAK) {
    detail.set("%s: received NAK", kRespTypeName[type]);
    return ERR_WM_NAK;
  }
  detail.set("%s: invalid response 0x%2.2X, expected ACK or NAK", kRespTypeName[type], byte);
  return ERR_WM_READ;
}

// The first byte of an answer gets a time-out of its own; the port's
// time-out is put back whatever happens to the read.
u_err_t read_first_byte(wm_link *link, int32_t timeout_s, uint8_t *byte) {
  int32_t port_timeout = 0;
  u_err_t rc = sio_get_timeout(&link->port, &port_timeout);
  if (rc)
    return rc;
  const int32_t wanted = timeout_s < 1 ? WM_DEFAULT_FIRST_BYTE_TIMEOUT_S : timeout_s;
  const bool change = wanted != port_timeout;
  if (change && (rc = sio_set_timeout(&link->port, wanted)) != ERR_NONE)
    return rc;
  const bool got = read_byte(link, byte);
  const u_err_t restored = change ? sio_set_timeout(&link->port, port_timeout) : ERR_NONE;
  if (!got)
    return ERR_WM_TIMEOUT;
  return restored;
}

bool valid_data_len(int32_t data_len, int32_t minimum) {
  return data_len >= minimum && data_len <= WM_MAX_RESPONSE_BYTES;
}

// Type 2: data length bytes, nothing after them.
u_err_t read_plain(wm_link *link, wm_resp_buf *buf, int32_t data_len, Detail &detail) {
  if (!valid_data_len(data_len, 1)) {
    detail.set("WM_RESP_READ: invalid respLen = %d", data_len);
    return ERR_WM_READ;
  }
  const uint32_t len = uint32_t(data_len);
  if (!resp_resize(buf, len + 1))
    return ERR_NO_MEM;
  buf->data[len] = 0;
  uint32_t failed_at = 0;
  if (!read_bytes(link, buf, 2, len, &failed_at)) {
    detail.set("WM_RESP_READ: sio_read_data failed reading response byte %u of %d", failed_at,
               data_len);
    return ERR_WM_READ;
  }
  return ERR_NONE;
}

// Type 3: data length bytes, then ACK or NAK.
u_err_t read_with_ack(wm_link *link, wm_resp_buf *buf, int32_t data_len, Detail &detail) {
  if (!valid_data_len(data_len, 1)) {
    detail.set("WM_RESP_READ_ACK: invalid respLen = %d", data_len);
    return ERR_WM_READ;
  }
  const uint32_t total = uint32_t(data_len) + 1;
  if (!resp_resize(buf, total))
    return ERR_NO_MEM;
  uint32_t failed_at = 0;
  if (!read_bytes(link, buf, 2, total, &failed_at)) {
    detail.set("WM_RESP_READ_ACK: sio_read_data failed reading response char %u of %u", failed_at,
               total);
    return ERR_WM_READ;
  }
  return judge_last_byte(buf->data[total - 1], WM_RESP_READ_ACK, detail);
}

// Type 4: a 32-bit element count n, then data length + n x element size
// bytes, then ACK or NAK. The count comes from the device, so it is checked
// before it sizes anything.
u_err_t read_sized(wm_link *link, wm_resp_buf *buf, int32_t data_len, int32_t elem_size,
                   Detail &detail) {
  constexpr uint32_t kCountBytes = 4;
  if (!valid_data_len(data_len, 0)) {
    detail.set("WM_RESP_SIZE_READ_ACK: invalid respLen = %d", data_len);
    return ERR_WM_READ;
  }
  if (!resp_resize(buf, kCountBytes))
    return ERR_NO_MEM;
  uint32_t failed_at = 0;
  if (!read_bytes(link, buf, 2, kCountBytes, &failed_at)) {
    detail.set("WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte %u of %u", failed_at,
               kCountBytes);
    return ERR_WM_READ;
  }
  const int32_t count = int32_t(u32_le(buf->data));
  if (count < 0 || (count > 0 && elem_size <= 0)) {
    detail.set("WM_RESP_SIZE_READ_ACK: invalid element count %d of size %d", count, elem_size);
    return ERR_WM_READ;
  }
  const int64_t total64 = int64_t(data_len) + int64_t(count) * std::max(elem_size, 0) + 5;
  if (total64 > WM_MAX_RESPONSE_BYTES) {
    detail.set("WM_RESP_SIZE_READ_ACK: element count %d too large", count);
    return ERR_WM_READ;
  }
  const uint32_t total = uint32_t(total64);
  if (!resp_resize(buf, total))
    return ERR_NO_MEM;
  if (!read_bytes(link, buf, kCountBytes + 1, total, &failed_at)) {
    detail.set("WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte %u of %u", failed_at,
               total);
    return ERR_WM_READ;
  }
  return judge_last_byte(buf->data[total - 1], WM_RESP_SIZE_READ_ACK, detail);
}

u_err_t read_response(wm_link *link, wm_resp_buf *buf, int32_t data_len, int32_t elem_size,
                      int32_t resp_type, int32_t first_byte_timeout_s, Detail &detail) {
  if (!link || !buf || resp_type < WM_RESP_ACK || resp_type > WM_RESP_SIZE_READ_ACK)
    return ERR_INVALID_PARAM;
  uint8_t first = 0;
  u_err_t rc = read_first_byte(link, first_byte_timeout_s, &first);
  if (rc)
    return rc;
  if (!resp_resize(buf, 1))
    return ERR_NO_MEM;
  buf->data[0] = first;
  switch (resp_type) {
  case WM_RESP_ACK:
    return judge_last_byte(first, WM_RESP_ACK, detail);
  case WM_RESP_READ:
    return read_plain(link, buf, data_len, detail);
  case WM_RESP_READ_ACK:
    return read_with_ack(link, buf, data_len, detail);
  default:
    return read_sized(link, buf, data_len, elem_size, detail);
  }
}

// Owns a response buffer for the command wrappers.
struct Response {
  wm_resp_buf buf{};
  Response() = default;
  Response(const Response &) = delete;
  Response &operator=(const Response &) = delete;
  ~Response() { wm_resp_free(&buf); }
};

// Sends a command answered by data_len bytes and ACK; *out receives the data.
u_err_t query(wm_link *link, const char *command, int32_t data_len, uint8_t *out) {
  Response resp;
  u_err_t rc = wm_comm_write_rd(link, command, &resp.buf, data_len, -1, WM_RESP_READ_ACK, 0);
  if (rc == ERR_NONE)
    std::memcpy(out, resp.buf.data, size_t(data_len));
  return rc;
}

// Sends a command answered by ACK alone.
u_err_t command(wm_link *link, const char *text) {
  Response resp;
  return wm_comm_write_rd(link, text, &resp.buf, 0, -1, WM_RESP_ACK, 0);
}

u_err_t read_u32(wm_link *link, const char *command_text, uint32_t *word) {
  uint8_t bytes[4];
  u_err_t rc = query(link, command_text, sizeof bytes, bytes);
  if (rc == ERR_NONE && word)
    *word = u32_le(bytes);
  return rc;
}

// The calibration values of one "CC?" answer.
struct Calibration {
  float adc_gain[4] = {};
  float system_gain = 0;
  uint16_t adc_offset[4] = {};
  double phase_offset[3] = {};
};

u_err_t read_long_calibration(wm_link *link, Calibration *cal) {
  uint8_t bytes[kLongCalBytes];
  u_err_t rc = query(link, "CC?", kLongCalBytes, bytes);
  if (rc)
    return rc;
  for (int i = 0; i < 4; ++i) {
    cal->adc_gain[i] = f32_le(bytes + 4 * i);
    cal->adc_offset[i] = u16_le(bytes + 20 + 2 * i);
  }
  cal->system_gain = f32_le(bytes + 16);
  for (int i = 0; i < 3; ++i)
    cal->phase_offset[i] = f32_le(bytes + 28 + 4 * i);
  return ERR_NONE;
}

// Which calibration answer the device gives: its feature bits tell, and a
// device that shows neither is asked for its status once more.
u_err_t long_calibration_form(wm_link *link, uint32_t features, bool *long_form) {
  if (features & kFeatureLongCal) {
    *long_form = true;
    return ERR_NONE;
  }
  if (features & kFeatureShortCal) {
    *long_form = false;
    return ERR_NONE;
  }
  wm_status second{};
  u_err_t rc = wm_read_status(link, &second);
  *long_form = (second.flags & kFeatureLongCal) != 0;
  return rc;
}

void store_status(wm_state *st, const wm_status &s, int64_t now) {
  st->status_word1 = s.values[0];
  st->status_word2 = s.values[1];
  st->status_flags = s.flags;
  st->features = s.flags & kFeatureMask;
  st->calibrated = (s.flags & kCalibratedBit) ? 1 : 0;
  st->status_word7 = s.word7;
  st->cal_age = s.cal_age;
  st->cal_time = st->calibrated ? now - s.cal_age : 0;
}

void store_calibration(wm_state *st, const Calibration &cal, const wm_status &s) {
  std::copy(std::begin(cal.adc_gain), std::end(cal.adc_gain), st->adc_gain);
  std::copy(std::begin(cal.adc_offset), std::end(cal.adc_offset), st->adc_offset);
  std::copy(std::begin(cal.phase_offset), std::end(cal.phase_offset), st->phase_offset);
  st->system_gain = cal.system_gain;
  st->limits.min_range = 0;
  st->limits.max_range = wm_convert_scale(s.values[2], WM_SCALE_1E6, WM_SCALE_1);
  st->limits.min_rate = wm_convert_scale(s.values[3], WM_SCALE_1E6, WM_SCALE_1);
  st->limits.max_rate = wm_convert_scale(s.values[4], WM_SCALE_1E6, WM_SCALE_1);
}

void report_read_failure(u_err_t code, const Detail &detail) {
  char stamp[40];
  u_time_string(stamp);
  u_msg_hook("%s %s: %s", stamp, "wm_comm_read", u_error_name(code));
  if (detail.text[0])
    u_msg_hook(": %s\n", detail.text);
  else
    u_msg_hook("\n");
}

} // namespace

extern "C" {

void wm_resp_free(wm_resp_buf *buf) {
  if (!buf)
    return;
  ferry::hook_free(buf->data);
  buf->size = 0;
}

u_err_t wm_comm_open_fd(wm_link *link, const char *device_name) {
  if (!link || !device_name)
    return ERR_INVALID_PARAM;
  *link = wm_link{};
  snprintf(link->device_name, sizeof link->device_name, "%s", device_name);
  u_err_t rc = sio_open(device_name, &link->port);
  if (rc == ERR_NONE)
    rc = sio_init_xonxoff(&link->port, nullptr);
  if (rc == ERR_NONE)
    rc = sio_set_baud(&link->port, kLinkBaud);
  if (rc == ERR_NONE)
    rc = sio_set_parity(&link->port, 0);
  if (rc == ERR_NONE)
    rc = sio_disable_xonxoff(&link->port);
  if (rc == ERR_NONE)
    return ERR_NONE;
  u_msg_hook("%s: error initializing device %s: %s\n", "wm_comm_open_fd", device_name,
             u_error_name(rc));
  if (rc != ERR_CANT_OPEN_SERIAL)
    sio_close(&link->port);
  return ERR_WM_COMM;
}

u_err_t wm_comm_close(wm_link *link) {
  return link ? sio_close(&link->port) : ERR_NONE;
}

u_err_t wm_flush_inp(wm_link *link) {
  if (!link)
    return ERR_NONE;
  if (sio_clear_buffer(&link->port) != 0) {
    u_msg_hook("%s: sio_clear_buffer failed\n", "wm_flush_inp");
    return ERR_WM_COMM;
  }
  return ERR_NONE;
}

u_err_t wm_comm_write(wm_link *link, const char *command_text) {
  if (!link)
    return ERR_NONE;
  if (!command_text)
    return ERR_INVALID_PARAM;
  const uint32_t length = uint32_t(strlen(command_text));
  uint32_t written = 0;
  if (sio_send_data(&link->port, command_text, length, &written) != 0) {
    u_msg_hook("%s: sio_send_data failed, sendPacket = \"%s\", nbytes = %d\n", "wm_comm_write",
               command_text, int(length));
    return ERR_WM_COMM;
  }
  const uint8_t cr = WM_CR;
  if (sio_send_data(&link->port, &cr, 1, &written) != 0) {
    u_msg_hook("%s: sio_send_data failed, nbytes = 1\n", "wm_comm_write");
    return ERR_WM_COMM;
  }
  return ERR_NONE;
}

u_err_t wm_comm_read(wm_link *link, wm_resp_buf *buf, int32_t data_len, int32_t elem_size,
                     int32_t resp_type, int32_t first_byte_timeout_s) {
  Detail detail;
  const u_err_t rc =
      read_response(link, buf, data_len, elem_size, resp_type, first_byte_timeout_s, detail);
  if (rc) {
    report_read_failure(rc, detail);
    wm_resp_free(buf);
  }
  return rc;
}

u_err_t wm_comm_write_rd(wm_link *link, const char *command_text, wm_resp_buf *buf,
                         int32_t data_len, int32_t elem_size, int32_t resp_type,
                         int32_t first_byte_timeout_s) {
  u_err_t rc = wm_comm_write(link, command_text);
  if (rc)
    return rc;
  rc = wm_comm_read(link, buf, data_len, elem_size, resp_type, first_byte_timeout_s);
  if (rc) {
    char stamp[40];
    u_time_string(stamp);
    u_msg_hook("%s %s: error reading response to command \"%s\": %s\n", stamp, "wm_comm_write_rd",
               command_text, u_error_name(rc));
  }
  return rc;
}

u_err_t wm_read_laser(wm_link *link, uint32_t *word) {
  return read_u32(link, "LO?", word);
}

u_err_t wm_read_system_gain(wm_link *link, float *gain) {
  uint32_t word = 0;
  u_err_t rc = read_u32(link, "CC?", &word);
  if (rc == ERR_NONE && gain)
    *gain = std::bit_cast<float>(word);
  return rc;
}

u_err_t wm_read_status(wm_link *link, wm_status *status) {
  uint8_t bytes[kStatusBytes];
  u_err_t rc = query(link, "MS?", kStatusBytes, bytes);
  if (rc || !status)
    return rc;
  status->word0 = u32_le(bytes);
  for (int i = 0; i < 5; ++i)
    status->values[i] = f32_le(bytes + 4 * (i + 1));
  status->cal_age = int32_t(u32_le(bytes + 24));
  status->word7 = int32_t(u32_le(bytes + 28));
  status->flags = u32_le(bytes + 32);
  return ERR_NONE;
}

u_err_t wm_write_laser(wm_link *link, uint8_t on) {
  return command(link, on == 1 ? "LO=1" : "LO=0");
}

u_err_t wm_write_cl(wm_link *link, double value) {
  // The device takes the value in units of 1e-7; a value whose count does
  // not fit a 64-bit integer cannot be meant and is not sent.
  const double scaled = std::trunc(value * 10000000.0);
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18)
    return ERR_INVALID_PARAM;
  char text[40];
  snprintf(text, sizeof text, "CL=%" PRId64, int64_t(scaled));
  return command(link, text);
}

u_err_t wm_write_ss(wm_link *link, float value) {
  char text[80];
  snprintf(text, sizeof text, "SS=%f", double(value));
  return command(link, text);
}

u_err_t wm_write_rr(wm_link *link, int32_t a, int32_t b, int32_t *out_a, int32_t *out_b) {
  char text[40];
  snprintf(text, sizeof text, "RR=%d,%d", int(a), int(b));
  uint8_t bytes[8];
  u_err_t rc = query(link, text, sizeof bytes, bytes);
  if (rc)
    return rc;
  if (out_a)
    *out_a = int32_t(u32_le(bytes));
  if (out_b)
    *out_b = int32_t(u32_le(bytes + 4));
  return ERR_NONE;
}

u_err_t wm_update_status(sys_info *info) {
  if (!info)
    return ERR_INVALID_PARAM;
  wm_link *link = info->serial.wm_link;
  wm_state *st = &info->serial.wm;
  const int64_t now = now_seconds();
  wm_status status{};
  u_err_t rc = wm_read_status(link, &status);
  if (rc)
    return rc;
  store_status(st, status, now);
  if (!st->calibrated)
    return ERR_NONE;

  bool long_form = false;
  if ((rc = long_calibration_form(link, st->features, &long_form)) != ERR_NONE)
    return rc;
  Calibration cal;
  rc = long_form ? read_long_calibration(link, &cal) : wm_read_system_gain(link, &cal.system_gain);
  if (rc)
    return rc;
  store_calibration(st, cal, status);
  return ERR_NONE;
}

void wm_print_calibration(const wm_state *state) {
  if (!state || !state->calibrated) {
    u_msg_hook("Wave monitor not calibrated\n");
    return;
  }
  char stamp[40];
  u_format_time(time_t(state->cal_time), stamp);
  u_msg_hook("Wave monitor calibrated %s\n", stamp);
  if (state->features & kFeatureLongCal) {
    static constexpr char kChannel[] = {'A', 'B', 'C', 'D'};
    for (int i = 0; i < 4; ++i)
      u_msg_hook("ADC Gain %c : %f\n", kChannel[i], double(state->adc_gain[i]));
    for (int i = 0; i < 4; ++i)
      u_msg_hook("ADC Offs %c : %u\n", kChannel[i], unsigned(state->adc_offset[i]));
    static constexpr const char *kPair[] = {"01", "12", "23"};
    for (int i = 0; i < 3; ++i)
      u_msg_hook("Phs Offs %s: %f\n", kPair[i], state->phase_offset[i]);
  }
  u_msg_hook("System Gain: %f\n", double(state->system_gain));
}

u_err_t wm_set_laser_with_wait(wm_link *link, uint8_t on) {
  u_err_t rc = wm_write_laser(link, on);
  if (rc)
    return rc;
  const bool want_on = on == 1;
  for (int attempt = 0; attempt < WM_LASER_ATTEMPTS; ++attempt) {
    u_sleep(WM_LASER_PAUSE_MS);
    uint32_t word = 0;
    if ((rc = wm_read_laser(link, &word)) != ERR_NONE)
      return rc;
    if (((word & WM_LASER_ON_BIT) != 0) == want_on)
      return ERR_NONE;
    if (u_abort_hook(0))
      return ERR_FERNHALL_ABORTED;
  }
  u_msg_hook("%s: timeout waiting for laser to switch %s\n", "wm_set_laser_with_wait",
             want_on ? "ON" : "OFF");
  return ERR_WM_LASER_CONTROL_TIMEOUT;
}

double wm_convert_scale(double x, int32_t from, int32_t to) {
  auto valid = [](int32_t code) { return code >= WM_SCALE_1 && code <= WM_SCALE_1E12; };
  if (!valid(from) || !valid(to))
    return std::numeric_limits<double>::infinity();
  return x * kScaleFactor[from - WM_SCALE_1] / kScaleFactor[to - WM_SCALE_1];
}

u_err_t wm_get_tuning_limits(const sys_info *info, wm_tuning_limits *limits) {
  if (!limits)
    return ERR_INVALID_PARAM;
  *limits = {0.0, 1.5e11, 0.0, std::numeric_limits<double>::infinity()};
  if (!info)
    return ERR_NONE;
  if (contains(kConfiguredLimitTypes, info->sys_type))
    *limits = info->serial.wm_config_limits;
  if (!contains(kWaveMonitorTypes, info->sys_type))
    return ERR_NONE;
  const wm_state &st = info->serial.wm;
  if (!st.calibrated) {
    *limits = {};
    return ERR_NONE;
  }
  limits->min_rate = std::max(limits->min_rate, st.limits.min_rate);
  limits->max_range = std::min(limits->max_range, st.limits.max_range);
  limits->max_rate = std::min(limits->max_rate, st.limits.max_rate);
  return ERR_NONE;
}

u_err_t wm_verify_ramp_in_limits(const sys_info *info, const wm_ramp_request *request) {
  if (!info || !request)
    return ERR_INVALID_PARAM;
  // A ramp without buckets or a camera without a rate has no tuning rate;
  // dividing by them would let any range through.
  if (request->buckets < 1 || !(request->camera_rate > 0) || std::isnan(request->tuning_range))
    return ERR_INVALID_PARAM;
  wm_tuning_limits limits{};
  wm_get_tuning_limits(info, &limits);
  const double range = request->tuning_range;
  if (range > limits.max_range + kLimitSlack) {
    u_msg_hook("%s: req_range = %g too large\n", "wm_verify_ramp_in_limits", range);
    return ERR_WM_TUNE_RANGE_TOO_LARGE;
  }
  const double rate = range / (request->buckets / request->camera_rate);
  if (rate > limits.max_rate + kLimitSlack) {
    u_msg_hook("%s: req_rate = %g too fast\n", "wm_verify_ramp_in_limits", rate);
    return ERR_WM_TUNE_RANGE_TOO_LARGE;
  }
  if (request->buckets > WM_MAX_BUCKETS) {
    u_msg_hook("%s: req_buckets = %d is too big\n", "wm_verify_ramp_in_limits",
               int(request->buckets));
    return ERR_WM_NUM_BUCKETS_TOO_LARGE;
  }
  if (rate < limits.min_rate + kLimitSlack) {
    u_msg_hook("%s: req_rate = %g is too slow\n", "wm_verify_ramp_in_limits", rate);
    return ERR_WM_TUNE_RATE_TOO_SLOW;
  }
  return ERR_NONE;
}

} // extern "C"
