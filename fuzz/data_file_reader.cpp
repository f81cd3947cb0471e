// Feeds arbitrary bytes to the binary data file reader through a scratch
// file. Every input must end in a result code with nothing left in the
// matrices on failure. An accepted file must hold what its header
// announces, and the records it gave, written and read again, must come
// back the same.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datafile/data_file_reader.h"
#include "support/fuzz_input.h"

namespace {

// Large enough for arrays of a few hundred thousand samples, small enough
// to keep every run quick.
constexpr size_t kMaxInput = 1 << 20;

struct Contents {
  data_file_layout layout;
  data_prefix prefix;
  data_header header;
  intensity_matrix intensity;
  phase_matrix phase;

  u_err_t read(const std::string &path) {
    return read_data_file(path.c_str(), &layout, &prefix, &header, &intensity, &phase);
  }
  void release() {
    intensity_matrix_free(&intensity);
    phase_matrix_free(&phase);
  }
};

void require(bool condition) {
  if (!condition)
    std::abort();
}

template <typename M> bool same_samples(const M &a, const M &b) {
  if (!a.matrix || !b.matrix)
    return !a.matrix && !b.matrix;
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height &&
         a.size == b.size && std::memcmp(a.matrix, b.matrix, a.size * sizeof *a.matrix) == 0;
}

// The writer picks the format from the record, so a file of another format
// may come back with another header length; bytes_at_834 is then the one
// field a short header does not keep.
void check_rewrite(Contents &first, const std::string &path) {
  if (!first.intensity.matrix && !first.phase.matrix)
    return; // nothing the writer would write
  require(write_data_file(path.c_str(), &first.prefix, &first.header,
                          first.intensity.matrix ? &first.intensity : nullptr,
                          first.phase.matrix ? &first.phase : nullptr) == 0);
  Contents second;
  require(second.read(path) == 0);
  if (second.layout.header_size == DATA_FILE_SHORT_HEADER_SIZE)
    std::memset(first.header.bytes_at_834, 0, sizeof first.header.bytes_at_834);
  require(std::memcmp(&first.prefix, &second.prefix, sizeof first.prefix) == 0);
  require(std::memcmp(&first.header, &second.header, sizeof first.header) == 0);
  require(same_samples(first.intensity, second.intensity));
  require(first.intensity.n_buckets == second.intensity.n_buckets || !first.intensity.matrix);
  require(same_samples(first.phase, second.phase));
  second.release();
  std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string &path = ferry::fuzz::write_scratch_input("datafile", data, size);
  Contents first;
  if (first.read(path) != 0) {
    require(!first.intensity.matrix && !first.phase.matrix);
  } else {
    const data_file_layout &l = first.layout;
    require(uint64_t{l.header_size} + l.intens_bytes + l.phase_bytes <= size);
    check_rewrite(first, path + ".out");
  }
  first.release();
  std::remove(path.c_str());
  return 0;
}
