// A stand-in for a frame grabber's live-display library: it keeps the
// settings it is given, which a test reads back with FakeLd_Setting.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "acquisition/acquisition.h"

namespace {

std::atomic<int32_t> fringes{0}, phase_resolution{0}, min_area{0}, commands{0};
std::atomic<double> tarn_scale{0.0};

} // namespace

extern "C" {

int32_t SetLDNFringes(int32_t value) {
  fringes = value;
  return 1;
}

int32_t SetLDPhaseRes(int32_t value) {
  phase_resolution = value;
  return 1;
}

int32_t SetLDTarnScale(double value) {
  tarn_scale = value;
  return 1;
}

int32_t SetLDMinArea(int32_t value) {
  min_area = value;
  return 1;
}

int32_t RunLDCommand(const char *command) {
  if (!command || !*command)
    return 0;
  ++commands;
  return 1;
}

// A setting by its entry point's name ("SetLDNFringes", ...; "RunLDCommand"
// gives the number of commands run), or -1 for an unknown name.
double FakeLd_Setting(const char *entry) {
  if (std::strcmp(entry, "SetLDNFringes") == 0)
    return fringes;
  if (std::strcmp(entry, "SetLDPhaseRes") == 0)
    return phase_resolution;
  if (std::strcmp(entry, "SetLDTarnScale") == 0)
    return tarn_scale;
  if (std::strcmp(entry, "SetLDMinArea") == 0)
    return min_area;
  if (std::strcmp(entry, "RunLDCommand") == 0)
    return commands;
  return -1;
}

} // extern "C"

#define FAKE_LD_SAME_TYPE(name)                                                                    \
  static_assert(std::is_same_v<decltype(&name), name##_fn>, #name " differs from the binding");
ACQ_LD_ENTRY_POINTS(FAKE_LD_SAME_TYPE)
