// Feeds arbitrary bytes to the ramp configuration reader through a
// temporary file (the reader takes a path). Every input must end in a
// result code with the ramp spec array handed over or nothing allocated.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/hooks.h"
#include "ramps/ramp_config.h"
#include "support/fuzz_input.h"

namespace {

constexpr size_t kMaxInput = 64 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string &path = ferry::fuzz::write_scratch_input("ramp-config", data, size);

  rr_ramp_spec *specs = nullptr;
  int count = 0;
  u_err_t err = rr_read_ramp_config(path.c_str(), &specs, &count);
  if ((err == 0) != (specs != nullptr) || (err == 0 && count <= 0))
    std::abort();
  if (specs) {
    // What was accepted can be written back.
    std::string out = path + ".out";
    if (rr_write_ramp_config(out.c_str(), specs, count) != 0)
      std::abort();
    std::remove(out.c_str());
  }
  u_free_hook(specs);
  std::remove(path.c_str());
  return 0;
}
