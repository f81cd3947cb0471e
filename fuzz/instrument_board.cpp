// Fuzz target: the instrument board's responses. The first input byte
// picks the board type, the exchange (a read of each response type, or a
// request that expects an acknowledgement or a reply) and the size of the
// caller's buffer; the rest is what the simulated board sends, over a real
// pseudo-terminal, so the whole read path runs. The caller's buffer is
// exactly its size, so a write past it is caught. Time is scaled down so a
// silent or short response costs milliseconds.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "device/dev_cntrl.h"
#include "platform/clock.h"
#include "serial/instrument_board.h"
#include "sim/instrument_board_sim.h"

namespace {

// Responses beyond this add nothing the read path has not seen.
constexpr size_t max_response = 1024;
constexpr int32_t board_types[] = {1, 3, 6, 7};
constexpr int32_t buffer_sizes[] = {1, 4, 16, 128};

int ignore_messages(const char *, ...) {
  return 0;
}

struct Bench {
  ferry::sim::InstrumentBoardSim board;
  ferry::sim::PtyServer server{board};
  sys_info *info = &sys_info_instruments[0];
  bool ready = false;

  Bench() {
    u_msg_hook = ignore_messages;
    plat_set_time_scale(0.001);
    if (!server.start() || dev_init_cntrl(true) != ERR_NONE)
      return;
    info->instrBdType = 1;
    std::snprintf(info->board.device_name, sizeof info->board.device_name, "%s",
                  server.device_path().c_str());
    ready = ur_initUZ(info) == ERR_NONE;
  }
};

bool allowed(u_err_t rc) {
  switch (rc) {
  case ERR_NONE:
  case UR_MARK_NAK:
  case UR_MARK_CHECKSUM:
  case ERR_UZ_RECV_FAILED:
  case ERR_UZ_RECV_TIMEOUT:
  case ERR_UZ_SEND_FAILED:
    return true;
  default:
    return false;
  }
}

void check_read(u_err_t rc, int32_t count, int32_t size) {
  if (!allowed(rc) || rc == ERR_UZ_SEND_FAILED)
    std::abort();
  if (count < 0 || count > UR_COUNT_MAX || (rc != ERR_NONE && count != 0) || count + 1 > size)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Bench *bench = new Bench; // lives as long as the process
  if (!bench->ready || size == 0 || size > max_response + 1)
    return 0;
  const uint8_t pick = data[0];
  const int32_t board = board_types[pick & 3];
  const int exchange = (pick >> 2) % 5;
  const int32_t buffer_size = buffer_sizes[(pick >> 5) & 3];
  const std::vector<uint8_t> response(data + 1, data + size);
  sio_port *link = &bench->info->board.link;

  bench->board.control("reset");
  bench->board.control("board " + std::to_string(board));
  bench->info->instrBdType = board;
  std::vector<uint8_t> buffer(size_t(buffer_size), 0);
  if (exchange < 3) {
    bench->board.chatter(response, 1, 0);
    int32_t count = -1;
    const u_err_t rc = ur_readUZ(link, buffer.data(), buffer_size, exchange + 1, &count);
    check_read(rc, count, buffer_size);
  } else if (buffer_size >= 4) {
    const bool reply = exchange == 4;
    bench->board.control(reply ? "answer reply" : "answer ack");
    bench->board.script_answer(response);
    buffer[0] = 0x03;
    buffer[1] = uint8_t(pick % 60);
    buffer[2] = 0x10;
    const u_err_t rc = ur_writeUZ(link, 3, buffer.data(), buffer_size, reply ? 1 : 0, 0);
    if (!allowed(rc) || rc == UR_MARK_NAK || rc == UR_MARK_CHECKSUM)
      std::abort();
    if (rc == ERR_NONE && reply && (buffer[0] > buffer_size || buffer[1] != uint8_t(pick % 60)))
      std::abort();
  }
  // Whatever the response left behind must not reach the next input.
  ur_flushUZ(link);
  return 0;
}
