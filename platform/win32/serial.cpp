// Serial ports through the Win32 communications API.

#include "platform/serial.h"

#include <windows.h>

#include "platform/clock.h"

namespace {

HANDLE handle_of(const plat_serial *port) {
  return reinterpret_cast<HANDLE>(port->handle);
}
bool is_open(const plat_serial *port) {
  return port && port->handle != 0;
}

// Time-outs reach the driver scaled, so tests can shorten them; the
// special values keep their meaning.
DWORD scaled(DWORD ms) {
  return (ms == 0 || ms == MAXDWORD) ? ms : plat_scaled_ms(ms);
}

COMMTIMEOUTS to_system(const plat_serial_timeouts &t) {
  COMMTIMEOUTS c{};
  c.ReadIntervalTimeout = scaled(t.read_interval);
  // A multiplier is per byte: scaling it to at least 1 ms would lengthen
  // a short read, so it is scaled as a fraction of the total instead.
  c.ReadTotalTimeoutMultiplier = t.read_total_multiplier == MAXDWORD
                                     ? MAXDWORD
                                     : DWORD(t.read_total_multiplier * plat_time_scale());
  c.ReadTotalTimeoutConstant = scaled(t.read_total_constant);
  c.WriteTotalTimeoutMultiplier = DWORD(t.write_total_multiplier * plat_time_scale());
  c.WriteTotalTimeoutConstant = scaled(t.write_total_constant);
  return c;
}

} // namespace

extern "C" {

bool plat_serial_open(const char *name, plat_serial *port) {
  if (!port)
    return false;
  *port = plat_serial{};
  if (!name)
    return false;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr)
    return false;
  port->handle = reinterpret_cast<intptr_t>(h);
  COMMTIMEOUTS c{};
  if (GetCommTimeouts(h, &c)) {
    port->timeouts.read_interval = c.ReadIntervalTimeout;
    port->timeouts.read_total_multiplier = c.ReadTotalTimeoutMultiplier;
    port->timeouts.read_total_constant = c.ReadTotalTimeoutConstant;
    port->timeouts.write_total_multiplier = c.WriteTotalTimeoutMultiplier;
    port->timeouts.write_total_constant = c.WriteTotalTimeoutConstant;
  }
  return true;
}

bool plat_serial_close(plat_serial *port) {
  if (!is_open(port))
    return false;
  // A handle that failed to close is no more use than a closed one, and
  // closing it again later could close whatever took its value meanwhile.
  const bool closed = CloseHandle(handle_of(port)) != 0;
  port->handle = 0;
  return closed;
}

bool plat_serial_set_rx_event_mask(plat_serial *port, bool on) {
  return is_open(port) && SetCommMask(handle_of(port), on ? EV_RXCHAR : 0);
}

bool plat_serial_setup_queues(plat_serial *port, uint32_t in_bytes, uint32_t out_bytes) {
  return is_open(port) && SetupComm(handle_of(port), in_bytes, out_bytes);
}

bool plat_serial_get_state(plat_serial *port, plat_serial_state *state) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!is_open(port) || !state || !GetCommState(handle_of(port), &dcb))
    return false;
  state->baud = dcb.BaudRate;
  state->data_bits = dcb.ByteSize;
  state->parity = dcb.Parity;
  state->stop_bits = dcb.StopBits;
  state->parity_check = dcb.fParity != 0;
  state->binary = dcb.fBinary != 0;
  state->out_xonxoff = dcb.fOutX != 0;
  state->in_xonxoff = dcb.fInX != 0;
  state->out_cts_flow = dcb.fOutxCtsFlow != 0;
  state->abort_on_error = dcb.fAbortOnError != 0;
  state->dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
  state->rts_control = static_cast<uint8_t>(dcb.fRtsControl);
  state->xon_char = static_cast<uint8_t>(dcb.XonChar);
  state->xoff_char = static_cast<uint8_t>(dcb.XoffChar);
  state->xon_limit = dcb.XonLim;
  state->xoff_limit = dcb.XoffLim;
  return true;
}

bool plat_serial_set_state(plat_serial *port, const plat_serial_state *state) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!is_open(port) || !state || !GetCommState(handle_of(port), &dcb))
    return false;
  dcb.BaudRate = state->baud;
  dcb.ByteSize = state->data_bits;
  dcb.Parity = state->parity;
  dcb.StopBits = state->stop_bits;
  dcb.fParity = state->parity_check;
  dcb.fBinary = state->binary;
  dcb.fOutX = state->out_xonxoff;
  dcb.fInX = state->in_xonxoff;
  dcb.fOutxCtsFlow = state->out_cts_flow;
  dcb.fAbortOnError = state->abort_on_error;
  dcb.fDtrControl = state->dtr_control;
  dcb.fRtsControl = state->rts_control;
  dcb.XonChar = static_cast<char>(state->xon_char);
  dcb.XoffChar = static_cast<char>(state->xoff_char);
  dcb.XonLim = state->xon_limit;
  dcb.XoffLim = state->xoff_limit;
  return SetCommState(handle_of(port), &dcb) != 0;
}

bool plat_serial_get_timeouts(plat_serial *port, plat_serial_timeouts *timeouts) {
  COMMTIMEOUTS c{};
  if (!is_open(port) || !timeouts || !GetCommTimeouts(handle_of(port), &c))
    return false;
  *timeouts = port->timeouts;
  return true;
}

bool plat_serial_set_timeouts(plat_serial *port, const plat_serial_timeouts *timeouts) {
  if (!is_open(port) || !timeouts)
    return false;
  COMMTIMEOUTS c = to_system(*timeouts);
  if (!SetCommTimeouts(handle_of(port), &c))
    return false;
  port->timeouts = *timeouts;
  return true;
}

bool plat_serial_write(plat_serial *port, const void *bytes, uint32_t count, uint32_t *written) {
  if (written)
    *written = 0;
  if (!is_open(port))
    return false;
  // A write that fails part-way has still sent what it counted.
  DWORD done = 0;
  const bool ok = WriteFile(handle_of(port), bytes, count, &done, nullptr) != 0;
  if (written)
    *written = done;
  return ok;
}

bool plat_serial_read(plat_serial *port, void *buffer, uint32_t count, uint32_t *read) {
  if (read)
    *read = 0;
  if (!is_open(port))
    return false;
  // Likewise a read that fails part-way has still taken its bytes off the
  // line.
  DWORD done = 0;
  const bool ok = ReadFile(handle_of(port), buffer, count, &done, nullptr) != 0;
  if (read)
    *read = done;
  return ok;
}

bool plat_serial_status(plat_serial *port, uint32_t *errors, uint32_t *in_queue,
                        uint32_t *out_queue) {
  DWORD e = 0;
  COMSTAT stat{};
  bool ok = is_open(port) && ClearCommError(handle_of(port), &e, &stat);
  e |= ok ? plat_serial_take_parked_errors(port->handle) : 0; // see serial_ready.cpp
  if (errors)
    *errors = ok ? e : 0;
  if (in_queue)
    *in_queue = ok ? stat.cbInQue : 0;
  if (out_queue)
    *out_queue = ok ? stat.cbOutQue : 0;
  return ok;
}

bool plat_serial_purge(plat_serial *port) {
  return is_open(port) &&
         PurgeComm(handle_of(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool plat_serial_set_dtr(plat_serial *port, bool on) {
  return is_open(port) && EscapeCommFunction(handle_of(port), on ? SETDTR : CLRDTR);
}

// Windows has no pseudo-terminals; the simulators are served by the native
// build's program instead.
bool plat_pty_open(intptr_t *, char *, size_t) {
  return false;
}
void plat_pty_close(intptr_t) {}
int plat_pty_read(intptr_t, void *, size_t, uint32_t) {
  return -1;
}
bool plat_pty_write(intptr_t, const void *, size_t) {
  return false;
}
bool plat_pty_line_settings(intptr_t, plat_pty_line *) {
  return false;
}

} // extern "C"
