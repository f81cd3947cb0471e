// Serial ports on termios, behaving as the Win32 communications API does:
// reads and writes bounded by interval and total time-outs, a read that
// comes back short when its time runs out, purge of both queues, queue
// counts and line errors.

#include "platform/serial.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "platform/clock.h"

namespace {

using Clock = std::chrono::steady_clock;

int fd_of(const plat_serial *port) {
  return static_cast<int>(port->handle) - 1;
}
bool is_open(const plat_serial *port) {
  return port && port->handle > 0;
}

struct BaudCode {
  uint32_t baud;
  speed_t code;
};

constexpr BaudCode baud_codes[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool baud_to_code(uint32_t baud, speed_t *code) {
  for (const auto &entry : baud_codes)
    if (entry.baud == baud) {
      *code = entry.code;
      return true;
    }
  return false;
}

uint32_t code_to_baud(speed_t code) {
  for (const auto &entry : baud_codes)
    if (entry.code == code)
      return entry.baud;
  return 0;
}

constexpr tcflag_t size_flags[] = {CS5, CS6, CS7, CS8};

// A wait in ms until deadline, never negative; -1 when there is none.
int ms_until(const Clock::time_point *deadline) {
  if (!deadline)
    return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

enum class Ready { yes, timed_out, hung_up };

// Waits for fd to become ready for events.
Ready wait_ready(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n == 0 ? Ready::timed_out : Ready::hung_up;
    return (p.revents & events) ? Ready::yes : Ready::hung_up;
  }
}

// Waits, within the deadline, until the driver's output queue is empty and
// the last byte has gone out on the line.
bool drain(int fd, const Clock::time_point *limit) {
  for (;;) {
    int out = 0;
    if (ioctl(fd, TIOCOUTQ, &out) != 0)
      return false;
    if (out <= 0)
      return tcdrain(fd) == 0;
    if (limit && Clock::now() >= *limit)
      return false;
    usleep(1000);
  }
}

// The total time-out of a transfer of count bytes in scaled ms, or -1 when
// the time-outs set none.
int64_t total_ms(uint32_t multiplier, uint32_t constant, uint32_t count) {
  uint64_t total = uint64_t(multiplier) * count + constant;
  if (total == 0)
    return -1;
  return plat_scaled_ms(static_cast<uint32_t>(std::min<uint64_t>(total, 0x7FFFFFFF)));
}

bool read_line_counts(int fd, uint32_t counts[4]) {
#if defined(TIOCGICOUNT)
  serial_icounter_struct icount{};
  if (ioctl(fd, TIOCGICOUNT, &icount) != 0)
    return false;
  counts[0] = static_cast<uint32_t>(icount.overrun);
  counts[1] = static_cast<uint32_t>(icount.parity);
  counts[2] = static_cast<uint32_t>(icount.frame);
  counts[3] = static_cast<uint32_t>(icount.brk);
  return true;
#else
  (void)fd;
  (void)counts;
  return false;
#endif
}

void make_raw(termios *tio) {
  cfmakeraw(tio);
  tio->c_cflag |= CREAD | CLOCAL;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
}

// The line settings a terminal holds.
plat_serial_state decode_state(const termios &tio) {
  plat_serial_state state{};
  state.baud = code_to_baud(cfgetospeed(&tio));
  state.data_bits = 8;
  for (size_t i = 0; i < std::size(size_flags); ++i)
    if ((tio.c_cflag & CSIZE) == size_flags[i])
      state.data_bits = static_cast<uint8_t>(5 + i);
  state.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
  state.stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;
  state.parity_check = (tio.c_iflag & INPCK) != 0;
  state.out_xonxoff = (tio.c_iflag & IXON) != 0;
  state.in_xonxoff = (tio.c_iflag & IXOFF) != 0;
  state.out_cts_flow = (tio.c_cflag & CRTSCTS) != 0;
  state.xon_char = tio.c_cc[VSTART];
  state.xoff_char = tio.c_cc[VSTOP];
  return state;
}

// A pseudo-terminal always carries eight bits without parity, and the C
// library reports that as a failed tcsetattr. Everything else applied is
// good enough for a line that carries bytes, not bits.
bool applied_but_size_and_parity(int fd, const termios &wanted) {
  termios now{};
  if (tcgetattr(fd, &now) != 0)
    return false;
  const tcflag_t mask = ~tcflag_t(CSIZE | PARENB | PARODD);
  return (now.c_cflag & mask) == (wanted.c_cflag & mask) && now.c_iflag == wanted.c_iflag &&
         cfgetospeed(&now) == cfgetospeed(&wanted);
}

} // namespace

extern "C" {

bool plat_serial_open(const char *name, plat_serial *port) {
  if (!port)
    return false;
  *port = plat_serial{};
  if (!name)
    return false;
  int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  // Nobody else may share the line while we hold it.
  if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return false;
  }
  // A freshly opened terminal echoes and edits lines; a port passes bytes
  // through untouched, as a COM port does.
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    make_raw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  port->handle = fd + 1;
  port->settings = decode_state(tio);
  port->settings.binary = true;
  port->settings.dtr_control = PLAT_SERIAL_DTR_ENABLE;
  read_line_counts(fd, port->error_counts);
  return true;
}

bool plat_serial_close(plat_serial *port) {
  if (!is_open(port))
    return false;
  int fd = fd_of(port);
  // Only a terminal was put in exclusive mode.
  const bool released = !isatty(fd) || ioctl(fd, TIOCNXCL) == 0;
  // Whatever close() says, the descriptor is gone (on Linux even after
  // EINTR): keeping the number would let a retry close whatever file the
  // process opens next under it.
  const bool closed = close(fd) == 0 || errno == EINTR;
  port->handle = 0;
  return released && closed;
}

bool plat_serial_set_rx_event_mask(plat_serial *port, bool on) {
  // poll() stands in for the event mask; only a terminal can take one.
  return is_open(port) && isatty(fd_of(port));
}

bool plat_serial_setup_queues(plat_serial *port, uint32_t in_bytes, uint32_t out_bytes) {
  // The kernel sizes its own queues; only a terminal has them.
  return is_open(port) && isatty(fd_of(port)) && in_bytes > 0 && out_bytes > 0;
}

bool plat_serial_get_state(plat_serial *port, plat_serial_state *state) {
  if (!is_open(port) || !state)
    return false;
  // Asked of the line so that a port that has gone bad says so; the
  // settings themselves are the ones applied last, since a pseudo-terminal
  // keeps neither data bits nor parity.
  termios tio{};
  if (tcgetattr(fd_of(port), &tio) != 0)
    return false;
  *state = port->settings;
  return true;
}

bool plat_serial_set_state(plat_serial *port, const plat_serial_state *state) {
  if (!is_open(port) || !state)
    return false;
  speed_t speed;
  if (!baud_to_code(state->baud, &speed) || state->data_bits < 5 || state->data_bits > 8 ||
      state->parity > 2 || state->stop_bits > 2)
    return false;
  termios tio{};
  if (tcgetattr(fd_of(port), &tio) != 0)
    return false;
  make_raw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= size_flags[state->data_bits - 5];
  if (state->parity != 0)
    tio.c_cflag |= PARENB | (state->parity == 1 ? PARODD : 0);
  if (state->stop_bits != 0)
    tio.c_cflag |= CSTOPB;
  if (state->out_cts_flow)
    tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  if (state->parity_check)
    tio.c_iflag |= INPCK;
  if (state->out_xonxoff)
    tio.c_iflag |= IXON;
  if (state->in_xonxoff)
    tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = state->xon_char;
  tio.c_cc[VSTOP] = state->xoff_char;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
    return false;
  if (tcsetattr(fd_of(port), TCSANOW, &tio) != 0 && !applied_but_size_and_parity(fd_of(port), tio))
    return false;
  port->settings = *state;
  return true;
}

bool plat_serial_get_timeouts(plat_serial *port, plat_serial_timeouts *timeouts) {
  if (!is_open(port) || !timeouts)
    return false;
  *timeouts = port->timeouts;
  return true;
}

bool plat_serial_set_timeouts(plat_serial *port, const plat_serial_timeouts *timeouts) {
  if (!is_open(port) || !timeouts)
    return false;
  port->timeouts = *timeouts;
  return true;
}

bool plat_serial_write(plat_serial *port, const void *bytes, uint32_t count, uint32_t *written) {
  if (written)
    *written = 0;
  if (!is_open(port) || (!bytes && count > 0))
    return false;
  const int fd = fd_of(port);
  const auto *data = static_cast<const uint8_t *>(bytes);
  int64_t total =
      total_ms(port->timeouts.write_total_multiplier, port->timeouts.write_total_constant, count);
  Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max<int64_t>(total, 0));
  const Clock::time_point *limit = total < 0 ? nullptr : &deadline;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      if (written)
        *written = done;
      return false;
    }
    Ready ready = wait_ready(fd, POLLOUT, ms_until(limit));
    if (ready == Ready::hung_up) {
      if (written)
        *written = done;
      return false;
    }
    if (ready == Ready::timed_out)
      break; // out of time: a short write, as the Win32 write reports it
  }
  if (written)
    *written = done;
  if (done < count)
    return true;
  // The caller learns of the bytes only once they have left the driver.
  return drain(fd, limit);
}

bool plat_serial_read(plat_serial *port, void *buffer, uint32_t count, uint32_t *read_count) {
  if (read_count)
    *read_count = 0;
  if (!is_open(port) || (!buffer && count > 0))
    return false;
  const int fd = fd_of(port);
  auto *data = static_cast<uint8_t *>(buffer);
  const plat_serial_timeouts &t = port->timeouts;
  const bool immediate = t.read_interval == PLAT_SERIAL_MAXDWORD && t.read_total_multiplier == 0 &&
                         t.read_total_constant == 0;
  int64_t total = immediate ? 0 : total_ms(t.read_total_multiplier, t.read_total_constant, count);
  Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max<int64_t>(total, 0));
  const Clock::time_point *limit = total < 0 ? nullptr : &deadline;
  const bool has_interval = t.read_interval != 0 && t.read_interval != PLAT_SERIAL_MAXDWORD;
  const int interval = has_interval ? static_cast<int>(plat_scaled_ms(t.read_interval)) : -1;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      if (read_count)
        *read_count = done;
      return false;
    }
    // The interval counts from the last byte, once the first has come.
    int wait = ms_until(limit);
    if (done > 0 && interval >= 0)
      wait = wait < 0 ? interval : std::min(wait, interval);
    if (immediate)
      break;
    Ready ready = wait_ready(fd, POLLIN, wait);
    if (ready == Ready::hung_up) {
      if (read_count)
        *read_count = done;
      return false;
    }
    if (ready == Ready::timed_out)
      break;
  }
  if (read_count)
    *read_count = done;
  return true;
}

bool plat_serial_status(plat_serial *port, uint32_t *errors, uint32_t *in_queue,
                        uint32_t *out_queue) {
  if (errors)
    *errors = 0;
  if (in_queue)
    *in_queue = 0;
  if (out_queue)
    *out_queue = 0;
  if (!is_open(port))
    return false;
  const int fd = fd_of(port);
  int in = 0, out = 0;
  if (ioctl(fd, FIONREAD, &in) != 0 || ioctl(fd, TIOCOUTQ, &out) != 0)
    return false;
  if (in_queue)
    *in_queue = static_cast<uint32_t>(std::max(in, 0));
  if (out_queue)
    *out_queue = static_cast<uint32_t>(std::max(out, 0));
  // Lines without counters (a pseudo-terminal) report no errors.
  uint32_t counts[4];
  if (read_line_counts(fd, counts)) {
    constexpr uint32_t bits[4] = {PLAT_SERIAL_ERR_OVERRUN, PLAT_SERIAL_ERR_PARITY,
                                  PLAT_SERIAL_ERR_FRAME, PLAT_SERIAL_ERR_BREAK};
    for (int i = 0; i < 4; ++i) {
      if (counts[i] != port->error_counts[i] && errors)
        *errors |= bits[i];
      port->error_counts[i] = counts[i];
    }
  }
  return true;
}

bool plat_serial_purge(plat_serial *port) {
  return is_open(port) && tcflush(fd_of(port), TCIOFLUSH) == 0;
}

bool plat_serial_set_dtr(plat_serial *port, bool on) {
  if (!is_open(port))
    return false;
  int bits = TIOCM_DTR;
  return ioctl(fd_of(port), on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool plat_pty_open(intptr_t *master, char *path, size_t path_bytes) {
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0 ||
      std::strlen(name) + 1 > path_bytes) {
    close(fd);
    return false;
  }
  // Raw from the start, so nothing the simulator sends is echoed or edited
  // before the library sets the line up.
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    close(fd);
    return false;
  }
  termios tio{};
  bool raw = tcgetattr(slave, &tio) == 0;
  if (raw) {
    make_raw(&tio);
    raw = tcsetattr(slave, TCSANOW, &tio) == 0;
  }
  close(slave);
  if (!raw) {
    close(fd);
    return false;
  }
  std::snprintf(path, path_bytes, "%s", name);
  *master = fd;
  return true;
}

void plat_pty_close(intptr_t master) {
  if (master >= 0)
    close(static_cast<int>(master));
}

int plat_pty_read(intptr_t master, void *buffer, size_t bytes, uint32_t timeout_ms) {
  const int fd = static_cast<int>(master);
  pollfd p{fd, POLLIN, 0};
  int n = poll(&p, 1, static_cast<int>(timeout_ms));
  if (n < 0)
    return errno == EINTR ? 0 : -1;
  if (n == 0)
    return 0;
  if (!(p.revents & POLLIN)) {
    // No one holds the other side open: nothing to read until someone
    // does, so wait out the time instead of spinning.
    usleep(std::min<uint32_t>(timeout_ms, 5) * 1000);
    return 0;
  }
  ssize_t got = read(fd, buffer, bytes);
  if (got < 0)
    return (errno == EIO || errno == EAGAIN || errno == EINTR) ? 0 : -1;
  return static_cast<int>(got);
}

bool plat_pty_write(intptr_t master, const void *bytes, size_t count) {
  const int fd = static_cast<int>(master);
  const auto *data = static_cast<const uint8_t *>(bytes);
  size_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, data + done, count - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN)
        continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

} // extern "C"

namespace {

// Rates decoded on their own rather than through the port's table, so that a
// wrong entry there shows up as a wrong rate here.
uint32_t pty_speed_number(speed_t code) {
  switch (code) {
  case B150:
    return 150;
  case B300:
    return 300;
  case B600:
    return 600;
  case B1200:
    return 1200;
  case B2400:
    return 2400;
  case B4800:
    return 4800;
  case B9600:
    return 9600;
  case B19200:
    return 19200;
  case B38400:
    return 38400;
  case B57600:
    return 57600;
  case B115200:
    return 115200;
  default:
    return 0;
  }
}

uint8_t pty_data_bits(tcflag_t cflag) {
  switch (cflag & CSIZE) {
  case CS5:
    return 5;
  case CS6:
    return 6;
  case CS7:
    return 7;
  default:
    return 8;
  }
}

bool pty_is_raw(const termios &tio) {
  return !(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) && !(tio.c_oflag & OPOST) &&
         !(tio.c_iflag & (BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY));
}

struct PtyCarriage {
  bool data_bits = false;
  bool parity_bit = false;
};

// Asks a scratch pair whether the terminal keeps seven bits with parity.
PtyCarriage probe_pty_carriage() {
  PtyCarriage carriage;
  intptr_t master = -1;
  char path[128];
  if (!plat_pty_open(&master, path, sizeof path))
    return carriage;
  int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
    tio.c_cflag = (tio.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB;
    termios back{};
    if (tcsetattr(slave, TCSANOW, &tio) == 0 && tcgetattr(static_cast<int>(master), &back) == 0) {
      carriage.data_bits = (back.c_cflag & CSIZE) == CS7;
      carriage.parity_bit = (back.c_cflag & PARENB) != 0;
    }
  }
  if (slave >= 0)
    close(slave);
  plat_pty_close(master);
  return carriage;
}

} // namespace

extern "C" bool plat_pty_line_settings(intptr_t master, plat_pty_line *line) {
  termios tio{};
  if (!line || master < 0 || tcgetattr(static_cast<int>(master), &tio) != 0)
    return false;
  static const PtyCarriage carriage = probe_pty_carriage();
  *line = plat_pty_line{};
  line->in_baud = pty_speed_number(cfgetispeed(&tio));
  line->out_baud = pty_speed_number(cfgetospeed(&tio));
  line->data_bits = pty_data_bits(tio.c_cflag);
  line->parity_bit = (tio.c_cflag & PARENB) != 0;
  line->parity_odd = (tio.c_cflag & PARODD) != 0;
  line->two_stop_bits = (tio.c_cflag & CSTOPB) != 0;
  line->parity_check = (tio.c_iflag & INPCK) != 0;
  line->raw = pty_is_raw(tio);
  line->out_xonxoff = (tio.c_iflag & IXON) != 0;
  line->in_xonxoff = (tio.c_iflag & IXOFF) != 0;
  line->cts_flow = (tio.c_cflag & CRTSCTS) != 0;
  line->xon_char = tio.c_cc[VSTART];
  line->xoff_char = tio.c_cc[VSTOP];
  line->holds_data_bits = carriage.data_bits;
  line->holds_parity_bit = carriage.parity_bit;
  return true;
}
