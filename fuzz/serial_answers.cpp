// Fuzz target: the temperature controller's and the digital readouts'
// answers. The first input byte picks the exchange; the rest is what the
// simulated device sends back over a real pseudo-terminal, so the whole read
// path runs. Time is scaled down so a silent or short answer costs
// milliseconds.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/hooks.h"
#include "platform/clock.h"
#include "position/pos_instr.h"
#include "serial/temp_controller.h"
#include "sim/readout_sims.h"
#include "sim/temp_controller_sim.h"

namespace {

// Longer answers add nothing the read paths have not seen.
constexpr size_t max_answer = 1024;

int ignore_messages(const char *, ...) {
  return 0;
}

template <typename Device> struct Served {
  Device device;
  ferry::sim::PtyServer server{device};
  bool start() { return server.start(); }
};

struct Bench {
  Served<ferry::sim::TempControllerSim> temp;
  Served<ferry::sim::MetronicsSim> metronics;
  Served<ferry::sim::HeidSim> heid;
  sio_port temp_port{};
  pos_instr metronics_pi{};
  pos_instr heid_pi{};
  bool ready = false;

  static bool open_readout(pos_instr *pi, int32_t type, const std::string &path,
                           u_err_t (*opener)(pos_instr *)) {
    pi->type = type;
    std::snprintf(pi->device_name, sizeof pi->device_name, "%s", path.c_str());
    return opener(pi) == ERR_NONE;
  }

  Bench() {
    u_msg_hook = ignore_messages;
    plat_set_time_scale(0.01);
    ready = temp.start() && metronics.start() && heid.start() &&
            temp_comm_open(&temp_port, temp.server.device_path().c_str()) == ERR_NONE &&
            open_readout(&metronics_pi, POS_INSTR_METRONICS, metronics.server.device_path(),
                         pi_metronics_open) &&
            open_readout(&heid_pi, POS_INSTR_HEID, heid.server.device_path(), pi_heid_open);
  }
};

void check_temp(u_err_t rc, const char *text) {
  if (rc != ERR_NONE && rc != ERR_TEMP_SENSOR_CHECKSUM && rc != ERR_TEMP_SENSOR_COMM &&
      rc != ERR_TEMP_SENSOR_READ && rc != ERR_TEMP_SENSOR_TIMEOUT)
    std::abort();
  if (std::strlen(text) > TEMP_STR_MAX_LEN)
    std::abort();
}

void check_readout(u_err_t rc, double value) {
  if (rc != ERR_NONE && rc != ERR_POS_INSTR_COMM)
    std::abort();
  if (rc != ERR_NONE && value != HUGE_VAL)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Bench *bench = new Bench; // lives as long as the process
  if (!bench->ready || size == 0 || size > max_answer + 1)
    return 0;
  const std::vector<uint8_t> answer(data + 1, data + size);
  double value = 0;
  char text[TEMP_STR_MAX_LEN + 1] = "PV";
  switch (data[0] % 4) {
  case 0: {
    bench->temp.device.script_answer(answer);
    std::memcpy(text, "IM0002.", 8);
    const u_err_t rc = temp_comm_write(&bench->temp_port, text, 7, TEMP_FRAME_WRITE);
    check_temp(rc, text);
    break;
  }
  case 1: {
    bench->temp.device.script_answer(answer);
    const u_err_t rc = temp_comm_write(&bench->temp_port, text, 2, TEMP_FRAME_READ);
    check_temp(rc, text);
    break;
  }
  case 2:
    bench->metronics.device.script_answer(answer);
    {
      const u_err_t rc = metronics_read_pos(&bench->metronics_pi, &value);
      check_readout(rc, value);
    }
    break;
  default:
    bench->heid.device.script_answer(answer);
    {
      const u_err_t rc = heid_read_val(&bench->heid_pi, &value);
      check_readout(rc, value);
    }
    break;
  }
  // Whatever the answer left behind must not reach the next input.
  sio_clear_buffer(&bench->temp_port);
  sio_clear_buffer(&bench->metronics_pi.port);
  sio_clear_buffer(&bench->heid_pi.port);
  return 0;
}
