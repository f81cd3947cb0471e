// Temperature controller protocol.

#include "serial/temp_controller.h"

#include <array>
#include <cstring>
#include <span>

#include "base/hooks.h"
#include "platform/clock.h"

namespace {

// A frame: EOT, address, and for a write STX text ETX BCC, for a read the
// mnemonic and ENQ.
constexpr size_t frame_max = 1 + 4 + 1 + TEMP_STR_MAX_LEN + 1 + 1;
constexpr size_t address_length = sizeof(TEMP_ADDRESS) - 1;

struct Frame {
  std::array<uint8_t, frame_max> bytes{};
  uint32_t length = 0;

  void add(uint8_t byte) { bytes[length++] = byte; }
  void add(const char *text, size_t count) {
    std::memcpy(bytes.data() + length, text, count);
    length += static_cast<uint32_t>(count);
  }
};

void begin_frame(Frame &frame) {
  frame.add(TEMP_EOT);
  frame.add(TEMP_ADDRESS, address_length);
}

Frame write_frame(const char *text, size_t length) {
  Frame frame;
  begin_frame(frame);
  frame.add(TEMP_STX);
  const uint32_t checked_from = frame.length;
  frame.add(text, length);
  frame.add(TEMP_ETX);
  frame.add(temp_bcc(frame.bytes.data() + checked_from, frame.length - checked_from));
  return frame;
}

Frame read_frame(const char *mnemonic, size_t length) {
  Frame frame;
  begin_frame(frame);
  frame.add(mnemonic, length);
  frame.add(TEMP_ENQ);
  return frame;
}

bool send_frame(sio_port *link, const Frame &frame) {
  uint32_t written = 0;
  return sio_send_data(link, frame.bytes.data(), frame.length, &written) == 0;
}

bool read_byte(sio_port *link, uint8_t *byte) {
  uint32_t got = 0;
  return sio_read_data(link, byte, 1, &got) == 0 && got == 1;
}

// Sets the port's time-out, saying so when it cannot be done.
bool set_timeout(sio_port *link, int32_t seconds) {
  const u_err_t err = sio_set_timeout(link, seconds);
  if (err != ERR_NONE)
    u_msg_hook("temp_comm_read: sio_set_timeout failed: %s\n", u_error_name(err));
  return err == ERR_NONE;
}

// Reads the first byte of an answer with the controller's own time-out and
// puts the port's time-out back. A port that keeps the controller's ten
// seconds would make every later exchange of its owner wait that long for
// nothing, so a failed restore fails the read even when the byte came.
u_err_t read_first_byte(sio_port *link, int32_t type, uint8_t *byte) {
  int32_t saved = 0;
  if (sio_get_timeout(link, &saved) != ERR_NONE)
    return ERR_TEMP_SENSOR_COMM;
  if (!set_timeout(link, TEMP_FIRST_BYTE_TIMEOUT_S))
    return ERR_TEMP_SENSOR_COMM;
  const bool got = read_byte(link, byte);
  if (!got)
    u_msg_hook("temp_comm_read: timeout on first byte, respType=%d\n", type);
  if (!set_timeout(link, saved))
    return ERR_TEMP_SENSOR_COMM;
  return got ? ERR_NONE : ERR_TEMP_SENSOR_TIMEOUT;
}

// After a refused write, asks for the controller's error code and lists
// the answer byte by byte, for the operator's diagnosis only.
void list_error_code(sio_port *link) {
  const Frame query = read_frame("EE", 2);
  if (!send_frame(link, query)) {
    u_msg_hook("temp_comm_read: EE err2 error\n");
    return;
  }
  // STX, the longest text and ETX: a controller that never sends ETX must
  // not keep us listing for ever.
  for (size_t i = 0; i < TEMP_STR_MAX_LEN + 2; ++i) {
    uint8_t byte = 0;
    if (!read_byte(link, &byte)) {
      u_msg_hook("temp_comm_read: EE err3 error\n");
      break;
    }
    u_msg_hook("char: 0x%x\n", byte);
    if (byte == TEMP_ETX)
      break;
  }
  // The block check (and anything else) of that answer would otherwise be
  // taken for the first byte of the next one.
  sio_clear_buffer(link);
}

u_err_t read_data_answer(sio_port *link, char *text) {
  // Text and ETX.
  std::array<uint8_t, TEMP_STR_MAX_LEN + 1> stored{};
  size_t count = 0;
  for (;;) {
    uint8_t byte = 0;
    if (!read_byte(link, &byte)) {
      u_msg_hook("temp_comm_read: sio_read_data failed: %s\n", u_error_name(ERR_TEMP_SENSOR_READ));
      return ERR_TEMP_SENSOR_READ;
    }
    if (byte != TEMP_ETX && count == TEMP_STR_MAX_LEN) {
      u_msg_hook("temp_comm_read: i=TEMP_STR_MAX_LEN\n");
      return ERR_TEMP_SENSOR_READ;
    }
    stored[count++] = byte;
    if (byte == TEMP_ETX)
      break;
  }
  uint8_t sent = 0;
  if (!read_byte(link, &sent)) {
    u_msg_hook("temp_comm_read: sio_read_data failed: %s\n", u_error_name(ERR_TEMP_SENSOR_READ));
    return ERR_TEMP_SENSOR_READ;
  }
  const uint8_t calc = temp_bcc(stored.data(), static_cast<uint32_t>(count));
  if (sent != calc) {
    u_msg_hook("temp_comm_read: checksums mismatched: sent=%d calc=%d\n", sent, calc);
    return ERR_TEMP_SENSOR_CHECKSUM;
  }
  std::memcpy(text, stored.data(), count - 1);
  text[count - 1] = '\0';
  return ERR_NONE;
}

bool valid_frame_text(const char *text, int32_t length) {
  return length >= 0 && length <= TEMP_STR_MAX_LEN && (text || length == 0);
}

} // namespace

extern "C" {

uint8_t temp_bcc(const uint8_t *bytes, uint32_t count) {
  uint8_t bcc = 0;
  for (uint8_t byte : std::span<const uint8_t>(bytes, count))
    bcc ^= byte;
  return bcc;
}

u_err_t temp_comm_open(sio_port *link, const char *device_name) {
  if (!link)
    return ERR_TEMP_SENSOR_COMM;
  u_err_t err = sio_open(device_name, link);
  if (err == ERR_NONE)
    err = sio_init_xonxoff(link, nullptr);
  if (err == ERR_NONE)
    err = sio_set_baud(link, 9600);
  if (err == ERR_NONE)
    err = sio_set_parity(link, 2);
  if (err == ERR_NONE)
    err = sio_set_data_bits(link, 7);
  if (err == ERR_NONE)
    err = sio_disable_xonxoff(link);
  if (err == ERR_NONE)
    return ERR_NONE;
  u_msg_hook("temp_comm_open: error initializing device %s: %s\n",
             device_name ? device_name : "(null)", u_error_name(err));
  if (err != ERR_CANT_OPEN_SERIAL)
    sio_close(link);
  return ERR_TEMP_SENSOR_COMM;
}

u_err_t temp_comm_close(sio_port *link) {
  if (!link)
    return ERR_NONE;
  u_err_t err = sio_close(link);
  if (err != ERR_NONE) {
    u_msg_hook("temp_comm_close: sio_close failed: %s\n", u_error_name(err));
    return ERR_TEMP_SENSOR_COMM;
  }
  return ERR_NONE;
}

u_err_t temp_comm_read(sio_port *link, char *text, int32_t type) {
  if (text)
    text[0] = '\0';
  if (!link)
    return ERR_NONE;
  // The first byte is awaited whatever the type, so that an answer to a
  // request of a type we do not know is taken off the line all the same.
  uint8_t first = 0;
  if (u_err_t err = read_first_byte(link, type, &first))
    return err;
  if (type != TEMP_FRAME_WRITE && type != TEMP_FRAME_READ) {
    u_msg_hook("temp_comm_read: unknown response type %d\n", type);
    return ERR_TEMP_SENSOR_COMM;
  }
  if (type == TEMP_FRAME_WRITE) {
    if (first != TEMP_NAK)
      return ERR_NONE;
    u_msg_hook("temp_comm_read: received NAK\n");
    list_error_code(link);
    return ERR_TEMP_SENSOR_COMM;
  }
  if (first == TEMP_EOT) {
    u_msg_hook("temp_comm_read: received EOT, respType=%d\n", type);
    return ERR_TEMP_SENSOR_COMM;
  }
  if (first != TEMP_STX) {
    u_msg_hook("temp_comm_read: received unknown response character 0x%x\n", first);
    return ERR_TEMP_SENSOR_COMM;
  }
  char scratch[TEMP_STR_MAX_LEN + 1];
  return read_data_answer(link, text ? text : scratch);
}

u_err_t temp_comm_write(sio_port *link, char *text, int32_t length, int32_t type) {
  if (!link)
    return ERR_NONE;
  if ((type != TEMP_FRAME_WRITE && type != TEMP_FRAME_READ) || !valid_frame_text(text, length))
    return ERR_TEMP_SENSOR_COMM;
  const size_t n = static_cast<size_t>(length);
  const Frame frame = type == TEMP_FRAME_WRITE ? write_frame(text, n) : read_frame(text, n);
  if (!send_frame(link, frame)) {
    u_msg_hook("temp_comm_write: sio_send_data failed: nbytes=%d\n", int(frame.length));
    return ERR_TEMP_SENSOR_COMM;
  }
  char answer[TEMP_STR_MAX_LEN + 1];
  if (u_err_t err = temp_comm_read(link, answer, type))
    return err;
  if (type == TEMP_FRAME_WRITE)
    return ERR_NONE;
  // A value comes back behind the mnemonic it answers.
  if (std::strlen(answer) < n || std::memcmp(answer, text, n) != 0)
    return ERR_TEMP_SENSOR_READ;
  std::memmove(text, answer + n, std::strlen(answer + n) + 1);
  return ERR_NONE;
}

u_err_t temp_sensor_setup(sio_port *link) {
  static constexpr const char *sequence[] = {"IM0002.", "QD0002.", "Q10000.", "IM0000."};
  for (const char *step : sequence) {
    char text[8];
    std::memcpy(text, step, sizeof text);
    if (u_err_t err = temp_comm_write(link, text, 7, TEMP_FRAME_WRITE))
      return err;
  }
  plat_sleep_ms(TEMP_SETUP_SETTLE_MS);
  return ERR_NONE;
}

} // extern "C"
