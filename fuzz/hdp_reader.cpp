// Feeds arbitrary bytes to the HDP reader through a temporary file (the
// reader takes a path). Every input must end in a result code, with the
// matrix given back and nothing leaked.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/hooks.h"
#include "support/fuzz_input.h"
#include "tool/hdp_reader.h"

namespace {

// Large enough for windows of a few hundred thousand samples, small enough
// to keep every run quick.
constexpr size_t kMaxInput = 1 << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string &path = ferry::fuzz::write_scratch_input("hdp", data, size);

  data_prefix prefix;
  data_header header;
  phase_matrix phase;
  u_err_t err = read_hdp_file(path.c_str(), &prefix, &header, &phase);
  // A success must describe a window the file really held.
  if (err == 0 && (!phase.matrix || phase.width <= 0 || phase.height <= 0 ||
                   size_t(phase.width) * size_t(phase.height) * 2 > size))
    std::abort();
  if (err != 0 && phase.matrix)
    std::abort();
  phase_matrix_free(&phase);
  std::remove(path.c_str());
  return 0;
}
