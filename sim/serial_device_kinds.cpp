// The simulators by kind name. Kept apart from the framework so that a
// program linking one simulator does not pull in every other.

#include "sim/instrument_board_sim.h"
#include "sim/serial_device.h"

namespace ferry::sim {

std::unique_ptr<SerialDevice> make_serial_device(const std::string &kind) {
  struct Entry {
    const char *kind;
    std::unique_ptr<SerialDevice> (*make)();
  };
  static constexpr Entry entries[] = {
      {"wave_monitor", make_wave_monitor_sim},
      {"temp_controller", make_temp_controller_sim},
      {"metronics", make_metronics_sim},
      {"heid", make_heid_sim},
      {"instrument_board", make_instrument_board_sim},
      {"quiet", make_quiet_sim},
  };
  for (const auto &entry : entries)
    if (kind == entry.kind)
      return entry.make();
  return nullptr;
}

} // namespace ferry::sim
