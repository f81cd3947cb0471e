// Fuzz target: the wave monitor's answers. The first input byte picks the
// exchange; the rest is what the simulated device sends back, over a real
// pseudo-terminal, so the whole read path runs. Time is scaled down so a
// silent or short answer costs milliseconds.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/hooks.h"
#include "platform/clock.h"
#include "serial/wave_monitor.h"
#include "sim/wave_monitor_sim.h"

namespace {

// Answers beyond this add nothing the read path has not seen.
constexpr size_t kMaxAnswer = 4096;

int ignore_messages(const char *, ...) {
  return 0;
}

struct Bench {
  ferry::sim::WaveMonitorSim sim;
  ferry::sim::PtyServer server{sim};
  wm_link link{};
  sys_info info{};
  bool ready = false;

  Bench() {
    u_msg_hook = ignore_messages;
    plat_set_time_scale(0.001);
    ready = server.start() && wm_comm_open_fd(&link, server.device_path().c_str()) == ERR_NONE;
    info.serial.wm_link = &link;
  }
};

void check(u_err_t rc) {
  if (rc != ERR_NONE && rc != ERR_WM_NAK && rc != ERR_WM_READ && rc != ERR_WM_TIMEOUT)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Bench *bench = new Bench; // lives as long as the process
  if (!bench->ready || size == 0 || size > kMaxAnswer + 1)
    return 0;
  wm_link *link = &bench->link;
  bench->sim.script_answer(std::vector<uint8_t>(data + 1, data + size));
  wm_resp_buf buf{};
  switch (data[0] % 6) {
  case 0:
    check(wm_update_status(&bench->info));
    break;
  case 1: {
    uint32_t word = 0;
    check(wm_read_laser(link, &word));
    break;
  }
  case 2: {
    int32_t a = 0, b = 0;
    check(wm_write_rr(link, 1, 2, &a, &b));
    break;
  }
  case 3:
    check(wm_comm_write_rd(link, "DT?", &buf, data[0] / 6 % 8, 4, WM_RESP_SIZE_READ_ACK, 0));
    break;
  case 4:
    check(wm_comm_write_rd(link, "ID?", &buf, data[0] / 6 % 16, -1, WM_RESP_READ, 0));
    break;
  default:
    check(wm_write_laser(link, 1));
    break;
  }
  wm_resp_free(&buf);
  wm_flush_inp(link);
  return 0;
}
