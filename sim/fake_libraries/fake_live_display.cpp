// A stand-in for a frame grabber's live-display library: it keeps the
// settings it is given, which a test reads back with FakeLd_Setting.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "acquisition/acquisition.h"

namespace {

// What the library keeps, each under the name of the entry point that
// sets it; RunLDCommand's is the number of commands run.
enum Setting { kFringes, kPhaseResolution, kTarnScale, kMinArea, kCommands, kSettingCount };
constexpr const char *kSettingEntries[kSettingCount] = {
    "SetLDNFringes", "SetLDPhaseRes", "SetLDTarnScale", "SetLDMinArea", "RunLDCommand",
};
std::atomic<double> settings[kSettingCount];

int32_t keep(Setting setting, double value) {
  settings[setting] = value;
  return 1;
}

} // namespace

extern "C" {

int32_t SetLDNFringes(int32_t value) {
  return keep(kFringes, value);
}

int32_t SetLDPhaseRes(int32_t value) {
  return keep(kPhaseResolution, value);
}

int32_t SetLDTarnScale(double value) {
  return keep(kTarnScale, value);
}

int32_t SetLDMinArea(int32_t value) {
  return keep(kMinArea, value);
}

int32_t RunLDCommand(const char *command) {
  if (!command || !*command)
    return 0;
  settings[kCommands].fetch_add(1);
  return 1;
}

// A setting by its entry point's name ("SetLDNFringes", ...; "RunLDCommand"
// gives the number of commands run), or -1 for an unknown name.
double FakeLd_Setting(const char *entry) {
  for (int setting = 0; setting < kSettingCount; ++setting)
    if (std::strcmp(entry, kSettingEntries[setting]) == 0)
      return settings[setting];
  return -1;
}

} // extern "C"

#define FAKE_LD_SAME_TYPE(name)                                                                    \
  static_assert(std::is_same_v<decltype(&name), name##_fn>, #name " differs from the binding");
ACQ_LD_ENTRY_POINTS(FAKE_LD_SAME_TYPE)
