// Instrument-board command protocol.

#include "serial/instrument_board.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "base/errors_internal.h"
#include "base/hooks.h"
#include "device/dev_cntrl.h"
#include "platform/serial.h"

namespace {

// The command names of each board type, indexed by command code.
// board type 1: codes 0..58
constexpr const char *board1_commands[] = {
    "UZ1_INVALID_CMD",         "UZ1_MOTOR_MOVE_CMD",       "UZ1_MOTOR_READ_CMD",
    "UZ1_PZT_SET_CMD",         "UZ1_PZT_POWER_CMD",        "UZ1_LLC_SET_CMD",
    "UZ1_LLC_READ_CMD",        "UZ1_LLC_MODE_SET_CMD",     "UZ1_LLC_MODE_READ_CMD",
    "UZ1_RAMP_REQUEST_CMD",    "UZ1_EE_SERIAL_SET_CMD",    "UZ1_EE_SERIAL_READ_CMD",
    "UZ1_EE_CAMERA_SET_CMD",   "UZ1_EE_CAMERA_READ_CMD",   "UZ1_EE_LIGHT_SET_CMD",
    "UZ1_EE_LIGHT_READ_CMD",   "UZ1_EE_SYSTEM_SET_CMD",    "UZ1_EE_SYSTEM_READ_CMD",
    "UZ1_EE_SYSDATE_SET_CMD",  "UZ1_EE_SYSDATE_READ_CMD",  "UZ1_EE_INSTRBD_SET_CMD",
    "UZ1_EE_INSTRBD_READ_CMD", "UZ1_ADC_P12_READ_CMD",     "UZ1_ADC_N15_READ_CMD",
    "UZ1_ADC_P15_READ_CMD",    "UZ1_ADC_P200_READ_CMD",    "UZ1_SYSERR_CMD",
    "UZ1_PZT_CHK_CMD",         "UZ1_RESET_UART_CMD",       "UZ1_READ_IO_CMD",
    "UZ1_WRITE_IO_CMD",        "UZ1_SW_VERSION_CMD",       "UZ1_RAMP_LOAD_CMD",
    "UZ1_RAMP_DAC_CMD",        "UZ1_RAMP_DATA_CMD",        "UZ1_RAMP_COMPLETE_CMD",
    "UZ1_RAMP_ABORT_CMD",      "UZ1_RAMP_DELETE_CMD",      "UZ1_RAMP_IDLE_CMD",
    "UZ1_RAMP_START_CMD",      "UZ1_PZT3_DISCONNECT_CMD",  "UZ1_POWER_CHK_CMD",
    "UZ1_PIFOC_LEVEL_CMD",     "UZ1_PIFOC_RESET_CMD",      "UZ1_CAMERA_RES_CMD",
    "UZ1_PZT_TYPE_CMD",        "UZ1_PC_READ_CMD",          "UZ1_PC_ADC_SET_CMD",
    "UZ1_PC_ADC_READ_CMD",     "UZ1_RAMP_COMP_LOAD_CMD",   "UZ1_PC_RAMP_DONE_CMD",
    "UZ1_EXPANSION_BD_CMD",    "UZ1_LCZDRIVE_CMD",         "UZ1_RAMP_UPDATERATE_CMD",
    "UZ1_CUSTOM_CAMERA_CMD",   "UZ1_ZOOM_POSITION_CMD",    "UZ1_TURRET_POSITION_CMD",
    "UZ1_ZOOMPOS_REPORT_CMD",  "UZ1_TURRETPOS_REPORT_CMD",
};
// board type 3: codes 0..62
constexpr const char *board3_commands[] = {
    "UZ2_INVALID_CMD",
    "UZ2_PZT_SET_CMD",
    "UZ2_PZT_POWER_CMD",
    "UZ2_LLC_SET_CMD",
    "UZ2_LLC_READ_CMD",
    "UZ2_LLC_MODE_SET_CMD",
    "UZ2_LLC_MODE_READ_CMD",
    "UZ2_EE_SERIAL_SET_CMD",
    "UZ2_EE_SERIAL_READ_CMD",
    "UZ2_EE_CAMERA_SET_CMD",
    "UZ2_EE_CAMERA_READ_CMD",
    "UZ2_EE_LIGHT_SET_CMD",
    "UZ2_EE_LIGHT_READ_CMD",
    "UZ2_EE_SYSTEM_SET_CMD",
    "UZ2_EE_SYSTEM_READ_CMD",
    "UZ2_EE_SYSDATE_SET_CMD",
    "UZ2_EE_SYSDATE_READ_CMD",
    "UZ2_EE_INSTRBD_SET_CMD",
    "UZ2_EE_INSTRBD_READ_CMD",
    "UZ2_ADC_P12_READ_CMD",
    "UZ2_ADC_N15_READ_CMD",
    "UZ2_ADC_P15_READ_CMD",
    "UZ2_ADC_P200_READ_CMD",
    "UZ2_SYSERR_CMD",
    "UZ2_PZT_CHK_CMD",
    "UZ2_RESET_UART_CMD",
    "UZ2_RAMP_START_CMD",
    "UZ2_RAMP_REQUEST_CMD",
    "UZ2_SW_VERSION_CMD",
    "UZ2_RAMP_LOAD_CMD",
    "UZ2_RAMP_DAC_CMD",
    "UZ2_WAND_CMD",
    "UZ2_AXIOM_INIT_CMD",
    "UZ2_AXIOM_POS_CMD",
    "UZ2_LLC_STABLE_CMD",
    "UZ2_FKEY_CMD",
    "UZ2_VIDEO_PR_CMD",
    "UZ2_LOCK_POS_CMD",
    "UZ2_WAND_MOTION_CMD",
    "UZ2_WAND_MODE_CMD",
    "UZ2_PZT3_CMD",
    "UZ2_PZT3_RESET_CMD",
    "UZ2_PZT3_STATUS_CMD",
    "UZ2_PZT3_PWRCHK_CMD",
    "UZ2_PZT3_RAMP_CMD",
    "UZ2_RAMP_DATA_CMD",
    "UZ2_RAMP_COMPLETE_CMD",
    "UZ2_RAMP_DELETE_CMD",
    "UZ2_RAMP_IDLE_CMD",
    "UZ2_POWER_CHK_CMD",
    "UZ2_AXIOM_CMD",
    "UZ2_DD_VOLTCHK_CMD",
    "UZ2_READ_IO_CMD",
    "UZ2_WRITE_IO_CMD",
    "UZ2_CAMERA_RES_CMD",
    "UZ2_ALIGN_VIEW_CMD",
    "UZ2_CUSTOM_CAMERA_CMD",
    "UZ2_RING_SPOT_CMD",
    "UZ2_CHANGE_RINGSPOT_CMD",
    "UZ2_CHANGE_ALIGNVIEW_CMD",
    "UZ2_WAND_MODE2_CMD",
    "UZ2_AV_MOVING_CMD",
    "UZ2_RS_MOVING_CMD",
};
// board type 6: codes 0..41
constexpr const char *board6_commands[] = {
    "NIF_PZT_SET_CMD",        "NIF_SHUTTER_STATE_CMD",
    "NIF_LLC_SET_CMD",        "NIF_LLC_READ_CMD",
    "NIF_EE_SERIAL_SET_CMD",  "NIF_EE_SERIAL_READ_CMD",
    "NIF_EE_CAMERA_SET_CMD",  "NIF_EE_CAMERA_READ_CMD",
    "NIF_EE_LIGHT_SET_CMD",   "NIF_EE_LIGHT_READ_CMD",
    "NIF_EE_SYSTEM_SET_CMD",  "NIF_EE_SYSTEM_READ_CMD",
    "NIF_EE_SYSDATE_SET_CMD", "NIF_EE_SYSDATE_READ_CMD",
    "NIF_EE_INSTRBD_SET_CMD", "NIF_EE_INSTRBD_READ_CMD",
    "NIF_ADC_P12_READ_CMD",   "NIF_ADC_N15_READ_CMD",
    "NIF_ADC_P15_READ_CMD",   "NIF_SYSERR_CMD",
    "NIF_RESET_UART_CMD",     "NIF_RAMP_START_CMD",
    "NIF_RAMP_REQUEST_CMD",   "NIF_SW_VERSION_CMD",
    "NIF_RAMP_LOAD_CMD",      "NIF_RAMP_DAC_CMD",
    "NIF_WAND_CMD",           "NIF_LLC_STABLE_CMD",
    "NIF_FKEY_CMD",           "NIF_VIDEO_PR_CMD",
    "NIF_LOCK_POS_CMD",       "NIF_WAND_MOTION_CMD",
    "NIF_WAND_MODE_CMD",      "NIF_RAMP_DATA_CMD",
    "NIF_RAMP_COMPLETE_CMD",  "NIF_RAMP_DELETE_CMD",
    "NIF_RAMP_IDLE_CMD",      "NIF_POWER_CHK_CMD",
    "NIF_ALIGN_VIEW_CMD",     "NIF_READ_IO_CMD",
    "NIF_WRITE_IO_CMD",       "NIF_SHUTTER_OUTPUT_CMD",
};
// board type 7: codes 0..41
constexpr const char *board7_commands[] = {
    "FTP_INVALID_CMD",          "FTP_MOTOR_MOVE_CMD",      "FTP_MOTOR_READ_CMD",
    "FTP_LLC_SET_CMD",          "FTP_LLC_READ_CMD",        "FTP_READ_RQI_LOCKEDP_CMD",
    "FTP_READ_RQI_MEASERR_CMD", "FTP_RAMP_REQUEST_CMD",    "FTP_EE_SERIAL_SET_CMD",
    "FTP_EE_SERIAL_READ_CMD",   "FTP_EE_CAMERA_SET_CMD",   "FTP_EE_CAMERA_READ_CMD",
    "FTP_EE_LIGHT_SET_CMD",     "FTP_EE_LIGHT_READ_CMD",   "FTP_EE_SYSTEM_SET_CMD",
    "FTP_EE_SYSTEM_READ_CMD",   "FTP_EE_SYSDATE_SET_CMD",  "FTP_EE_SYSDATE_READ_CMD",
    "FTP_EE_INSTRBD_SET_CMD",   "FTP_EE_INSTRBD_READ_CMD", "FTP_ADC_P12_READ_CMD",
    "FTP_ADC_N15_READ_CMD",     "FTP_ADC_P15_READ_CMD",    "FTP_SYSERR_CMD",
    "FTP_RESET_UART_CMD",       "FTP_READ_IO_CMD",         "FTP_WRITE_IO_CMD",
    "FTP_SW_VERSION_CMD",       "FTP_RAMP_LOAD_CMD",       "FTP_RAMP_DAC_CMD",
    "FTP_RAMP_DATA_CMD",        "FTP_RAMP_COMPLETE_CMD",   "FTP_RAMP_ABORT_CMD",
    "FTP_RAMP_DELETE_CMD",      "FTP_RAMP_IDLE_CMD",       "FTP_RAMP_START_CMD",
    "FTP_POWER_CHK_CMD",        "FTP_PIFOC_LEVEL_CMD",     "FTP_PIFOC_RESET_CMD",
    "FTP_RESET_RQI_CMD",        "FTP_RAMP_UPDATERATE_CMD", "FTP_CUSTOM_CAMERA_CMD",
};

struct CommandTable {
  int32_t board_type;
  std::span<const char *const> names;
};

constexpr CommandTable command_tables[] = {
    {1, board1_commands},
    {3, board3_commands},
    {6, board6_commands},
    {7, board7_commands},
};

// Response codes by board type: the unsolicited reports that may come in
// between, and those accepted when an unsolicited report is the answer.
constexpr uint8_t board1_unsolicited[] = {0x9B, 0x9C};
constexpr uint8_t other_unsolicited[] = {0x87, 0x9B, 0x9D};
constexpr uint8_t board1_accepted[] = {0x9B, 0x9C};
constexpr uint8_t other_accepted[] = {0x87, 0x9B, 0x9D, 0x81, 0x8B};

struct ReportCodes {
  std::span<const uint8_t> unsolicited;
  std::span<const uint8_t> accepted;
};
constexpr ReportCodes board1_codes{board1_unsolicited, board1_accepted};
constexpr ReportCodes other_codes{other_unsolicited, other_accepted};

using Frame = std::array<uint8_t, UR_FRAME_MAX>;

const CommandTable *table_of(int32_t board_type) {
  for (const CommandTable &table : command_tables)
    if (table.board_type == board_type)
      return &table;
  return nullptr;
}

bool contains(std::span<const uint8_t> codes, uint8_t code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// The instrument whose board link is this open port.
sys_info *instrument_of(const sio_port *link) {
  if (!sio_is_open(link))
    return nullptr;
  for (sys_info &info : sys_info_instruments)
    if (sio_is_open(&info.board.link) && info.board.link.port.handle == link->port.handle)
      return &info;
  return nullptr;
}

// What a response means to the reader that asked for resp_type.
enum class Verdict { accept, refused, skip, wrong };

Verdict classify(int32_t board_type, int32_t resp_type, uint8_t code) {
  const ReportCodes &codes = board_type == 1 ? board1_codes : other_codes;
  const bool unsolicited = contains(codes.unsolicited, code);
  switch (resp_type) {
  case UR_RESP_ACK:
    if (code == UR_ACK)
      return Verdict::accept;
    if (code == UR_NAK)
      return Verdict::refused;
    return unsolicited ? Verdict::skip : Verdict::wrong;
  case UR_RESP_REPLY:
    if (code == UR_NAK)
      return Verdict::refused;
    return unsolicited ? Verdict::skip : Verdict::accept;
  default: // UR_RESP_UNSOLICITED
    return contains(codes.accepted, code) ? Verdict::accept : Verdict::skip;
  }
}

// Reads the count byte under the board's own first-byte time-out, and puts
// the port's time-outs back exactly as they were.
u_err_t read_count_byte(sio_port *link, int32_t resp_type, uint8_t *byte) {
  plat_serial_timeouts saved{};
  const bool have_saved = plat_serial_get_timeouts(&link->port, &saved);
  sio_set_timeout(link, UR_FIRST_BYTE_TIMEOUT_S);
  uint32_t got = 0;
  const bool ok = sio_read_data(link, byte, 1, &got) == 0 && got == 1;
  if (have_saved)
    plat_serial_set_timeouts(&link->port, &saved);
  if (!ok) {
    u_msg_hook("ur_readUZ: timed out on first byte, respType=%d\n", resp_type);
    return ERR_UZ_RECV_TIMEOUT;
  }
  return ERR_NONE;
}

// One response into frame; *n = 0 for a count of 0 or above 127.
u_err_t read_response(sio_port *link, int32_t resp_type, Frame &frame, int32_t *n) {
  *n = 0;
  if (u_err_t err = read_count_byte(link, resp_type, &frame[0]))
    return err;
  const int32_t count = static_cast<int8_t>(frame[0]);
  if (count <= 0)
    return ERR_NONE;
  uint32_t got = 0;
  if (sio_read_data(link, frame.data() + 1, uint32_t(count), &got) != 0) {
    u_msg_hook("ur_readUZ: sio_read_data failed\n");
    return ERR_UZ_RECV_TIMEOUT;
  }
  const uint8_t received = frame[count];
  const uint8_t calculated = ur_checksum(frame.data() + 1, count - 1);
  if (received != calculated) {
    u_msg_hook("ur_readUZ: checksum err recv %d calc %d\n", received, calculated);
    return UR_MARK_CHECKSUM;
  }
  *n = count;
  return ERR_NONE;
}

// ur_readUZ into the internal frame: the caller's buffer is written only
// once the whole response has been judged.
u_err_t read_judged(sio_port *link, int32_t resp_type, Frame &frame, int32_t *n) {
  *n = 0;
  const sys_info *info = instrument_of(link);
  if (!info)
    return ERR_SYS_INFO_NOT_AVAIL;
  if (!table_of(info->instrBdType))
    return ERR_WRONG_INSTR_BOARD;
  if (resp_type < UR_RESP_ACK || resp_type > UR_RESP_UNSOLICITED)
    return ERR_INVALID_PARAM;
  for (int read = 0; read < UR_ATTEMPTS; ++read) {
    if (u_err_t err = read_response(link, resp_type, frame, n))
      return err;
    if (*n == 0)
      return ERR_NONE;
    switch (classify(info->instrBdType, resp_type, frame[1])) {
    case Verdict::accept:
      return ERR_NONE;
    case Verdict::refused:
      return UR_MARK_NAK;
    case Verdict::wrong:
      return ERR_UZ_RECV_FAILED;
    case Verdict::skip:
      break;
    }
  }
  *n = 0;
  if (resp_type != UR_RESP_UNSOLICITED)
    u_msg_hook("ur_readUZ: received unsolicited info\n");
  return ERR_UZ_RECV_FAILED;
}

bool board_type_known(int32_t board_type) {
  return table_of(board_type) != nullptr;
}

// The request as it goes on the line: the caller's n bytes and the checksum.
u_err_t exchange(sio_port *link, int32_t n, const Frame &request, bool reply_expected,
                 Frame &response, int32_t *response_count) {
  const uint32_t length = uint32_t(n) + 1;
  u_err_t err = ERR_NONE;
  for (int attempt = 0; attempt < UR_ATTEMPTS; ++attempt) {
    uint32_t written = 0;
    if (sio_send_data(link, request.data(), length, &written) != 0) {
      u_msg_hook("ur_writeUZ: sio_send_data failed  i=%d  len=%d\n", attempt, int(length));
      return ERR_UZ_SEND_FAILED;
    }
    err = read_judged(link, reply_expected ? UR_RESP_REPLY : UR_RESP_ACK, response, response_count);
    if (err != UR_MARK_NAK && err != UR_MARK_CHECKSUM)
      break;
  }
  if (err == UR_MARK_NAK || err == UR_MARK_CHECKSUM)
    return ERR_UZ_RECV_FAILED;
  // A count of 0 carries neither an acknowledgement nor a reply.
  if (err == ERR_NONE && *response_count == 0)
    return ERR_UZ_RECV_FAILED;
  return err;
}

u_err_t take_reply(const Frame &request, const Frame &response, uint8_t *buffer, int32_t size) {
  if (response[1] != request[1]) {
    u_msg_hook("ur_writeUZ: recvd invalid resp  wanted %d  got %d\n", request[1], response[1]);
    return ERR_UZ_RECV_FAILED;
  }
  // The reply as far as its count says, count byte included.
  const int32_t count = response[0];
  if (count > size)
    return ERR_UZ_RECV_FAILED;
  std::memcpy(buffer, response.data(), size_t(count));
  return ERR_NONE;
}

} // namespace

extern "C" {

uint8_t ur_checksum(const uint8_t *bytes, int32_t count) {
  uint8_t sum = 0;
  if (!bytes || count <= 0)
    return 0;
  for (uint8_t byte : std::span<const uint8_t>(bytes, size_t(count)))
    sum = static_cast<uint8_t>(sum + byte);
  return sum;
}

const char *ur_cmd_str(const sio_port *link, int32_t code) {
  const sys_info *info = instrument_of(link);
  if (!info)
    return "INVALID_PARAM";
  const CommandTable *table = table_of(info->instrBdType);
  if (!table) {
    u_msg_hook("ur_cmd_str: unknown instrBdType\n");
    return "";
  }
  if (code < 0 || size_t(code) >= table->names.size())
    code = 0;
  return table->names[size_t(code)];
}

u_err_t ur_initUZ(sys_info *info) {
  if (!info) {
    u_msg_hook("ur_initUZ: error initializing %s: %s\n", "(null)",
               ferry::error_constant_name(ERR_INVALID_PARAM));
    return ERR_UZ_COMM;
  }
  sio_port *link = &info->board.link;
  if (sio_is_open(link))
    ur_closeUZ(link);
  const char *device = info->board.device_name;
  const bool named = std::memchr(device, 0, sizeof info->board.device_name) != nullptr;
  u_err_t err = ERR_NONE;
  if (!board_type_known(info->instrBdType))
    err = ERR_WRONG_INSTR_BOARD;
  else if (!named)
    err = ERR_INVALID_PARAM;
  if (err == ERR_NONE)
    err = sio_open(device, link);
  if (err == ERR_NONE)
    err = sio_init_xonxoff(link, nullptr);
  if (err == ERR_NONE)
    err = sio_set_baud(link, UR_BAUD);
  if (err == ERR_NONE)
    err = sio_disable_xonxoff(link);
  if (err == ERR_NONE)
    err = dev_add_device(DEV_TYPE_SERIAL, link->port.handle, info);
  if (err == ERR_NONE)
    return ERR_NONE;
  u_msg_hook("ur_initUZ: error initializing %.*s: %s\n", int(sizeof info->board.device_name),
             device, ferry::error_constant_name(err));
  if (sio_is_open(link))
    sio_close(link);
  return ERR_UZ_COMM;
}

u_err_t ur_closeUZ(sio_port *link) {
  if (!sio_is_open(link))
    return ERR_INVALID_PARAM;
  // Out of the table first, so that the worker never tests a closed port.
  const u_err_t removed = dev_remove_device(link->port.handle);
  const u_err_t closed = sio_close(link);
  return removed != ERR_NONE ? removed : closed;
}

u_err_t ur_flushUZ(sio_port *link) {
  if (sio_clear_buffer(link) != 0) {
    u_msg_hook("sio_clear_buffer failed.");
    return ERR_UZ_COMM;
  }
  return ERR_NONE;
}

u_err_t ur_readUZ(sio_port *link, uint8_t *buffer, int32_t size, int32_t resp_type,
                  int32_t *count) {
  if (count)
    *count = 0;
  if (!buffer || size < 1)
    return ERR_INVALID_PARAM;
  Frame frame{};
  int32_t n = 0;
  if (u_err_t err = read_judged(link, resp_type, frame, &n))
    return err;
  if (n + 1 > size)
    return ERR_UZ_RECV_FAILED;
  std::memcpy(buffer, frame.data(), size_t(n) + 1);
  if (count)
    *count = n;
  return ERR_NONE;
}

u_err_t ur_writeUZ(sio_port *link, int32_t n, uint8_t *buffer, int32_t size, int32_t reply_expected,
                   int32_t checksum_present) {
  if (n < UR_COUNT_MIN || n > UR_COUNT_MAX || !buffer || size < n + 1)
    return ERR_INVALID_PARAM;
  Frame request{};
  std::memcpy(request.data(), buffer, size_t(n));
  if (!checksum_present)
    buffer[n] = ur_checksum(buffer + 1, n - 1);
  request[size_t(n)] = buffer[n];
  Frame response{};
  int32_t response_count = 0;
  u_err_t err = exchange(link, n, request, reply_expected != 0, response, &response_count);
  if (err == ERR_NONE && reply_expected)
    err = take_reply(request, response, buffer, size);
  if (err != ERR_NONE)
    u_msg_hook("ur_writeUZ failed: cmd=%s\n", ur_cmd_str(link, request[1]));
  return err;
}

} // extern "C"
