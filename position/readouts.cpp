// Digital readouts on serial lines: each answers a one-line request with
// one text line holding the position.

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/hooks.h"
#include "platform/clock.h"
#include "position/pos_instr.h"

namespace {

constexpr double not_read = HUGE_VAL;
constexpr double mm_per_inch = 25.4;
constexpr size_t line_read_max = POS_INSTR_LINE_MAX + 1;

struct Line {
  std::array<char, line_read_max + 1> text{};
  size_t length = 0;
  bool ended = false; // a CR or LF closed it
};

enum class LineRead { ok, read_failed };

// Reads one byte at a time up to the line end, at most line_read_max bytes.
LineRead read_line(sio_port *port, Line *line) {
  while (line->length < line_read_max) {
    uint8_t byte = 0;
    uint32_t got = 0;
    if (sio_read_data(port, &byte, 1, &got) != 0 || got != 1)
      return LineRead::read_failed;
    if (byte == '\r' || byte == '\n') {
      line->ended = true;
      break;
    }
    line->text[line->length++] = static_cast<char>(byte);
  }
  line->text[line->length] = '\0';
  return LineRead::ok;
}

// The rest of a reply is of no use; let it arrive, then drop it.
void settle_and_drain(sio_port *port) {
  plat_sleep_ms(POS_INSTR_SETTLE_MS);
  sio_clear_buffer(port);
}

bool send_request(sio_port *port, const void *bytes, uint32_t count) {
  uint32_t written = 0;
  return sio_send_data(port, bytes, count, &written) == 0;
}

// Opening shared by both readouts: open and set up the port, then the line
// settings. Every failure leaves the port closed.
struct OpenSteps {
  int32_t type;
  bool xonxoff;
  int32_t baud, parity, data_bits;
  void (*report_setup_failure)(u_err_t err, bool at_open);
};

void close_if_open(pos_instr *pi) {
  if (sio_is_open(&pi->port))
    sio_close(&pi->port);
}

u_err_t open_readout(pos_instr *pi, const OpenSteps &steps) {
  if (!pi || pi->type != steps.type)
    return ERR_INVALID_PARAM;
  pi->device_name[POS_INSTR_NAME_MAX - 1] = '\0';
  u_err_t err = sio_open(pi->device_name, &pi->port);
  bool at_open = err != ERR_NONE;
  if (err == ERR_NONE)
    err = sio_init(&pi->port, nullptr, steps.xonxoff ? 1 : 0);
  if (err != ERR_NONE) {
    steps.report_setup_failure(err, at_open);
    close_if_open(pi);
    return ERR_POS_INSTR_COMM;
  }
  err = sio_set_baud(&pi->port, steps.baud);
  if (err == ERR_NONE)
    err = sio_set_parity(&pi->port, steps.parity);
  if (err == ERR_NONE)
    err = sio_set_data_bits(&pi->port, steps.data_bits);
  if (err != ERR_NONE)
    close_if_open(pi);
  return err;
}

// Metronics: the first number on the line, with a minus sign seen before
// it, in inches when the line says so.
u_err_t metronics_value(const Line &line, double *value) {
  const char *text = line.text.data();
  const bool inches = std::strstr(text, "in") != nullptr;
  double sign = 1.0;
  for (const char *p = text; *p; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte >= 0x80) {
      u_msg_hook("%s: received non-ASCII character 0x%d\n", "metronics_read_pos", int(byte));
      return ERR_POS_INSTR_COMM;
    }
    if (byte == '-') {
      sign = -1.0;
    } else if ((byte >= '0' && byte <= '9') || byte == '.') {
      char *end = nullptr;
      double number = std::strtod(p, &end);
      if (end == p) {
        u_msg_hook("%s: received invalid number \"%s\"\n", "metronics_read_pos", p);
        return ERR_POS_INSTR_COMM;
      }
      *value = sign * (inches ? number * mm_per_inch : number);
      return ERR_NONE;
    }
  }
  u_msg_hook("%s: received unexpected string \"%s\"\n", "metronics_read_pos", text);
  return ERR_POS_INSTR_COMM;
}

// Heid: a sign followed by blanks pads the digits, "-  12.5" means -12.5.
void heid_close_sign_gap(Line *line) {
  char *text = line->text.data();
  if ((text[0] != '-' && text[0] != '+') || text[1] != ' ')
    return;
  for (char *p = text + 1; *p == ' '; ++p)
    *p = '0';
}

void report_metronics_setup(u_err_t err, bool at_open) {
  u_msg_hook(at_open ? "sio_open() failed: %d\n" : "sio_init() failed: %d\n", err);
  u_msg_hook("pi_metronics_open() failed\n");
}

void report_heid_setup(u_err_t, bool) {
  u_msg_hook("pi_heid_open() failed\n");
}

} // namespace

extern "C" {

u_err_t pi_metronics_open(pos_instr *pi) {
  static constexpr OpenSteps steps{POS_INSTR_METRONICS,   false, 115200, 0, 8,
                                   report_metronics_setup};
  return open_readout(pi, steps);
}

u_err_t metronics_read_pos(pos_instr *pi, double *value) {
  double scratch;
  double *out = value ? value : &scratch;
  *out = not_read;
  if (!pi)
    return ERR_INVALID_PARAM;
  static constexpr char request[] = "KEY 1\n";
  if (!send_request(&pi->port, request, sizeof request - 1)) {
    u_msg_hook("%s: sio_send_data failed\n", "metronics_read_pos");
    return ERR_POS_INSTR_COMM;
  }
  Line line;
  if (read_line(&pi->port, &line) == LineRead::read_failed) {
    u_msg_hook("%s: sio_read_data failed\n", "metronics_read_pos");
    return ERR_POS_INSTR_COMM;
  }
  settle_and_drain(&pi->port);
  if (!line.ended) {
    u_msg_hook("%s: received more than %d chars\n", "metronics_read_pos", POS_INSTR_LINE_MAX);
    return ERR_POS_INSTR_COMM;
  }
  if (line.length == 0) {
    u_msg_hook("%s: received empty string\n", "metronics_read_pos");
    return ERR_POS_INSTR_COMM;
  }
  return metronics_value(line, out);
}

u_err_t pi_metronics_init(pos_instr *pi) {
  return metronics_read_pos(pi, nullptr);
}

u_err_t pi_metronics_close(pos_instr *pi) {
  if (pi)
    close_if_open(pi);
  return ERR_NONE;
}

u_err_t pi_heid_open(pos_instr *pi) {
  static constexpr OpenSteps steps{POS_INSTR_HEID, true, 2400, 2, 7, report_heid_setup};
  return open_readout(pi, steps);
}

u_err_t heid_read_val(pos_instr *pi, double *value) {
  double scratch;
  double *out = value ? value : &scratch;
  *out = not_read;
  if (!pi)
    return ERR_INVALID_PARAM;
  static constexpr uint8_t request = 0x02;
  if (!send_request(&pi->port, &request, 1)) {
    u_msg_hook("heid_read_val() sio_send_data() failed");
    return ERR_POS_INSTR_COMM;
  }
  Line line;
  if (read_line(&pi->port, &line) == LineRead::read_failed) {
    u_msg_hook("heid_read_val() sio_read_data() failed");
    return ERR_POS_INSTR_COMM;
  }
  settle_and_drain(&pi->port);
  if (!line.ended)
    return ERR_POS_INSTR_COMM;
  heid_close_sign_gap(&line);
  char *end = nullptr;
  double number = std::strtod(line.text.data(), &end);
  // A line without a number is no reading of 0.
  if (end == line.text.data()) {
    u_msg_hook("heid_read_val() received invalid number \"%s\"\n", line.text.data());
    return ERR_POS_INSTR_COMM;
  }
  *out = number;
  return ERR_NONE;
}

u_err_t pi_heid_read(pos_instr *pi, double *value, int32_t *failed) {
  u_err_t err = heid_read_val(pi, value);
  if (failed)
    *failed = err != ERR_NONE ? 1 : 0;
  return ERR_NONE;
}

u_err_t pi_heid_init(pos_instr *pi, int32_t *failed) {
  return pi_heid_read(pi, nullptr, failed);
}

u_err_t pi_heid_close(pos_instr *pi) {
  return pi_metronics_close(pi);
}

} // extern "C"
