// Serial port layer over the platform's serial facility.

#include "serial/sio.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/hooks.h"
#include "platform/clock.h"
#include "platform/serial.h"

namespace {

constexpr int32_t valid_bauds[] = {150,  300,   600,   1200,  2400,  4800,
                                   9600, 19200, 38400, 57600, 115200};

// fopen mode texts that callers have been known to pass for the settings;
// they mean "use the defaults".
constexpr const char *mode_texts[] = {"r", "r+", "w", "w+", "a", "a+"};

// Longest a chattering line may keep sio_clear_buffer busy, in ms.
constexpr uint32_t clear_buffer_limit_ms = 10000;

struct LineSettings {
  uint32_t baud = 9600;
  uint8_t data_bits = 8;
  uint8_t parity = 0;
  uint8_t stop_code = 0;
};

bool port_open(const sio_port *port) {
  return port && port->port.handle != 0;
}

bool is_mode_text(const char *text) {
  for (const char *mode : mode_texts)
    if (std::strcmp(text, mode) == 0)
      return true;
  return false;
}

bool is_valid_baud(long baud) {
  for (int32_t valid : valid_bauds)
    if (baud == valid)
      return true;
  return false;
}

// The field after the next comma, or null when there is no comma.
const char *next_field(const char *field) {
  const char *comma = std::strchr(field, ',');
  return comma ? comma + 1 : nullptr;
}

// Parses "baud,bits,parity,stop"; each field is converted from its start
// as atoi and atof would, so trailing text inside a field is ignored.
u_err_t parse_settings(const char *text, LineSettings *out) {
  const char *field = text;
  long baud = std::strtol(field, nullptr, 10);
  if (!is_valid_baud(baud))
    return ERR_INVALID_PARAM;
  out->baud = static_cast<uint32_t>(baud);

  if (!(field = next_field(field)))
    return ERR_INVALID_PARAM;
  long bits = std::strtol(field, nullptr, 10);
  if (bits < 5 || bits > 8)
    return ERR_INVALID_PARAM;
  out->data_bits = static_cast<uint8_t>(bits);

  if (!(field = next_field(field)))
    return ERR_INVALID_PARAM;
  if (!std::isdigit(static_cast<unsigned char>(*field)))
    return ERR_PARAM_OUT_OF_RANGE;
  long parity = std::strtol(field, nullptr, 10);
  if (parity < 0 || parity > 2)
    return ERR_INVALID_PARAM;
  out->parity = static_cast<uint8_t>(parity);

  if (!(field = next_field(field)))
    return ERR_INVALID_PARAM;
  float stop = std::strtof(field, nullptr);
  if (stop == 1.0f)
    out->stop_code = 0;
  else if (stop == 1.5f)
    out->stop_code = 1;
  else if (stop == 2.0f)
    out->stop_code = 2;
  else
    return ERR_PARAM_OUT_OF_RANGE;
  return ERR_NONE;
}

void apply_flow_constants(plat_serial_state *state, bool xonxoff) {
  state->out_xonxoff = xonxoff;
  state->in_xonxoff = xonxoff;
  state->xon_char = SIO_XON_CHAR;
  state->xoff_char = SIO_XOFF_CHAR;
  state->xon_limit = SIO_XON_LIMIT;
  state->xoff_limit = SIO_XOFF_LIMIT;
}

void apply_init_settings(plat_serial_state *state, const LineSettings &line, bool xonxoff) {
  state->baud = line.baud;
  state->data_bits = line.data_bits;
  state->parity = line.parity;
  state->parity_check = line.parity != 0;
  state->stop_bits = line.stop_code;
  apply_flow_constants(state, xonxoff);
  state->dtr_control = PLAT_SERIAL_DTR_ENABLE;
  state->rts_control = PLAT_SERIAL_RTS_HANDSHAKE;
  state->binary = true;
  // Software flow control replaces the hardware handshake, and a line error
  // must not stop a link that recovers by XON/XOFF.
  state->out_cts_flow = !xonxoff;
  state->abort_on_error = !xonxoff;
}

// Reads the line settings, lets change() alter them and writes them back:
// the shape of every single-setting operation.
template <typename Change> u_err_t change_state(sio_port *port, Change change) {
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  plat_serial_state state{};
  if (!plat_serial_get_state(&port->port, &state))
    return ERR_CANT_GET_SERIAL;
  change(state);
  if (!plat_serial_set_state(&port->port, &state))
    return ERR_CANT_SET_SERIAL;
  return ERR_NONE;
}

u_err_t init_port(sio_port *port, const char *settings, bool xonxoff) {
  plat_serial_state state{};
  if (!plat_serial_get_state(&port->port, &state))
    return ERR_CANT_GET_SERIAL;
  LineSettings line;
  if (settings && is_mode_text(settings)) {
    u_msg_hook("Com Settings Parameter: %s is ignored.\n", settings);
  } else if (settings) {
    if (u_err_t err = parse_settings(settings, &line))
      return err;
  }
  apply_init_settings(&state, line, xonxoff);
  const plat_serial_timeouts timeouts{SIO_READ_INTERVAL_MS, 0, SIO_READ_TOTAL_MS, 0,
                                      SIO_WRITE_TOTAL_MS};
  plat_serial_set_timeouts(&port->port, &timeouts); // a failure here shows at the first read
  if (!plat_serial_set_state(&port->port, &state))
    return ERR_CANT_SET_SERIAL;
  plat_serial_set_dtr(&port->port, true);
  return ERR_NONE;
}

using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point deadline_after(uint32_t ms) {
  return SteadyClock::now() + std::chrono::milliseconds(plat_scaled_ms(ms));
}

// Waits until the driver's output queue is empty or a line error shows;
// either ends the wait and the send stands on its write alone (a line error
// is as likely a garbled incoming byte as anything about our bytes, and the
// next read clears and judges it). Only a queue that is still not empty
// when the write time-out has passed twice over (a line held back by flow
// control must not hold the caller for ever) fails the send.
bool wait_output_gone(sio_port *port, uint32_t count) {
  plat_serial_timeouts t{};
  plat_serial_get_timeouts(&port->port, &t);
  uint64_t budget = 2 * (uint64_t(t.write_total_multiplier) * count + t.write_total_constant);
  if (budget == 0)
    budget = 2 * SIO_WRITE_TOTAL_MS;
  const auto deadline = deadline_after(static_cast<uint32_t>(std::min<uint64_t>(budget, INT_MAX)));
  for (;;) {
    uint32_t errors = 0, out_queue = 0;
    // A status report that cannot be had tells nothing more about the
    // bytes than the write did.
    if (!plat_serial_status(&port->port, &errors, nullptr, &out_queue))
      return true;
    if (errors != 0 || out_queue == 0)
      return true;
    if (SteadyClock::now() >= deadline)
      return false;
    plat_sleep_ms(1);
  }
}

} // namespace

extern "C" {

int sio_is_open(const sio_port *port) {
  return port_open(port) ? 1 : 0;
}

u_err_t sio_open(const char *device_name, sio_port *port) {
  if (!port)
    return ERR_INVALID_PARAM;
  if (!plat_serial_open(device_name, &port->port)) {
    port->port.handle = 0;
    return ERR_CANT_OPEN_SERIAL;
  }
  if (!plat_serial_set_rx_event_mask(&port->port, true) ||
      !plat_serial_setup_queues(&port->port, SIO_QUEUE_IN, SIO_QUEUE_OUT))
    return ERR_CANT_SET_SERIAL;
  return ERR_NONE;
}

u_err_t sio_init(sio_port *port, const char *settings, int xonxoff) {
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  u_err_t err = init_port(port, settings, xonxoff != 0);
  if (err != ERR_NONE)
    u_msg_hook("Com Settings Parameter: %s is Invalid.\n", settings ? settings : "(null)");
  return err;
}

u_err_t sio_init_xonxoff(sio_port *port, const char *settings) {
  return sio_init(port, settings, 1);
}

u_err_t sio_set_baud(sio_port *port, int32_t baud) {
  if (baud <= 0)
    return port_open(port) ? ERR_CANT_SET_SERIAL : ERR_SERIAL_NOT_OPEN;
  return change_state(port, [&](plat_serial_state &s) { s.baud = static_cast<uint32_t>(baud); });
}

u_err_t sio_set_parity(sio_port *port, int32_t parity) {
  if (parity < 0 || parity > 255)
    return port_open(port) ? ERR_CANT_SET_SERIAL : ERR_SERIAL_NOT_OPEN;
  return change_state(port, [&](plat_serial_state &s) {
    s.parity = static_cast<uint8_t>(parity);
    s.parity_check = parity != 0;
  });
}

u_err_t sio_set_data_bits(sio_port *port, int32_t data_bits) {
  if (data_bits < 0 || data_bits > 255)
    return port_open(port) ? ERR_CANT_SET_SERIAL : ERR_SERIAL_NOT_OPEN;
  return change_state(port,
                      [&](plat_serial_state &s) { s.data_bits = static_cast<uint8_t>(data_bits); });
}

u_err_t sio_enable_xonxoff(sio_port *port) {
  return change_state(port, [](plat_serial_state &s) { apply_flow_constants(&s, true); });
}

u_err_t sio_disable_xonxoff(sio_port *port) {
  return change_state(port, [](plat_serial_state &s) { apply_flow_constants(&s, false); });
}

u_err_t sio_get_timeout(sio_port *port, int32_t *seconds) {
  if (seconds)
    *seconds = 0;
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  plat_serial_timeouts t{};
  if (!plat_serial_get_timeouts(&port->port, &t))
    return ERR_CANT_GET_SERIAL;
  if (seconds)
    *seconds = static_cast<int32_t>(t.read_total_constant / 1000);
  return ERR_NONE;
}

u_err_t sio_set_timeout(sio_port *port, int32_t seconds) {
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  // A negative time or one beyond what the system can hold would wrap to a
  // different time-out than the one asked for.
  if (seconds < 0 || uint32_t(seconds) > UINT32_MAX / 1000)
    return ERR_INVALID_PARAM;
  plat_serial_timeouts t{};
  if (!plat_serial_get_timeouts(&port->port, &t))
    return ERR_CANT_SET_SERIAL;
  t.read_total_constant = uint32_t(seconds) * 1000;
  if (!plat_serial_set_timeouts(&port->port, &t))
    return ERR_CANT_SET_SERIAL;
  return ERR_NONE;
}

int sio_send_data(sio_port *port, const void *bytes, uint32_t count, uint32_t *written) {
  if (written)
    *written = 0;
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  uint32_t done = 0;
  bool ok = plat_serial_write(&port->port, bytes, count, &done);
  if (written)
    *written = done;
  if (!ok || done != count)
    return 1;
  return wait_output_gone(port, count) ? 0 : 1;
}

int sio_read_data(sio_port *port, void *buffer, uint32_t count, uint32_t *read) {
  if (read)
    *read = 0;
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  plat_serial_status(&port->port, nullptr, nullptr, nullptr);
  uint32_t done = 0;
  bool ok = plat_serial_read(&port->port, buffer, count, &done);
  bool status_ok = plat_serial_status(&port->port, nullptr, nullptr, nullptr);
  if (read)
    *read = done;
  return ok && status_ok && done == count ? 0 : 1;
}

int sio_bytes_available(sio_port *port, uint32_t *count) {
  if (count)
    *count = 0;
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  uint32_t in_queue = 0;
  if (!plat_serial_status(&port->port, nullptr, &in_queue, nullptr))
    return 1;
  if (count)
    *count = in_queue;
  return 0;
}

int sio_clear_buffer(sio_port *port) {
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  plat_serial_timeouts saved{};
  if (!plat_serial_get_timeouts(&port->port, &saved))
    return 1;
  plat_serial_timeouts quiet = saved;
  quiet.read_total_constant = SIO_QUIET_MS;
  if (!plat_serial_set_timeouts(&port->port, &quiet))
    return 1;
  const auto give_up = deadline_after(clear_buffer_limit_ms);
  bool purged = false;
  uint32_t got = 0;
  do {
    purged = plat_serial_purge(&port->port);
    uint8_t byte;
    got = 0;
    if (purged && !plat_serial_read(&port->port, &byte, 1, &got))
      got = 0;
  } while (purged && got == 1 && SteadyClock::now() < give_up);
  plat_serial_set_timeouts(&port->port, &saved);
  return (!purged || got == 1) ? 1 : 0;
}

u_err_t sio_close(sio_port *port) {
  if (!port_open(port))
    return ERR_SERIAL_NOT_OPEN;
  plat_serial_set_rx_event_mask(&port->port, false);
  plat_serial_set_dtr(&port->port, false);
  plat_serial_purge(&port->port);
  if (!plat_serial_close(&port->port))
    return ERR_CANT_CLOSE_SERIAL;
  port->port.handle = 0;
  return ERR_NONE;
}

} // extern "C"
