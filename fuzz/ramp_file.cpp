// Feeds arbitrary bytes to the ramp data file reader, then takes whatever
// it accepts through the instrument checks and the derivation of a shorter
// ramp. Header fields come straight from the input, so this is where a
// bound or a conversion the resampling forgets shows up.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/hooks.h"
#include "ramps/ramp_config.h"
#include "ramps/ramp_file.h"
#include "support/fuzz_input.h"

namespace {

constexpr size_t kMaxInput = 256 * 1024;

// A configuration line for a derived ramp of the given fraction of the
// base's scan length.
rr_ramp_spec derived_spec(const rr_ramp_hdr_t &h, float fraction) {
  rr_ramp_spec s{};
  s.rampType = RR_TYPE_SWLI;
  s.fileName[0] = '+';
  s.scanLen = h.scanLen * fraction;
  s.cameraRate = h.cameraRate;
  s.grabSkip = h.grabSkip;
  s.fringesPerFrame = 0.25f;
  s.rampSlope = h.rampSlope;
  s.scanCal = 1;
  return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string &path = ferry::fuzz::write_scratch_input("ramp-file", data, size);
  rr_ramp base{};
  if (rr_read_ramp_file(path.c_str(), &base.hdr, &base.samples) == 0) {
    rr_check_ramp_file(&base.hdr, "fuzz", 1, base.hdr.pztID, base.hdr.pztID);
    const char *name = nullptr;
    rr_get_std_ramp_filename(&base.hdr, &name);
    if (base.samples) {
      base.hdr.rampType = RR_TYPE_SWLI;
      for (float fraction : {1.0f, 0.5f, 0.3f}) {
        rr_ramp derived{};
        rr_ramp_spec spec = derived_spec(base.hdr, fraction);
        rr_derive_ramp(&base, &derived, &spec);
        rr_free_ramp_samples(&derived);
      }
    }
  }
  rr_free_ramp_samples(&base);
  std::remove(path.c_str());
  return 0;
}
