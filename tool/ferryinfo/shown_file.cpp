#include "tool/ferryinfo/shown_file.h"

#include <algorithm>
#include <cstdio>

#include "base/files.h"
#include "platform/files.h"
#include "tool/hdp_reader.h"

namespace ferry::info {

namespace {

// Every data file begins with this byte; an HDP file with its format code.
constexpr int kDataFileFirstByte = (DATA_FILE_MAGIC_FORMAT_1 >> 24) & 0xFF;

// The first byte of the file, -1 for an empty one; false when it cannot
// be opened. Opened as the data file reader opens its paths.
bool first_byte(const char *path, int *byte) {
  ferry::UniqueFile f(u_fopen_path_text(path, "rb"));
  if (!f)
    return false;
  *byte = std::fgetc(f.get());
  return true;
}

} // namespace

ShownFile::~ShownFile() {
  intensity_matrix_free(&intensity);
  phase_matrix_free(&phase);
}

u_err_t load_shown_file(const char *path, ShownFile &file) {
  int byte = -1;
  if (!first_byte(path, &byte))
    return ERR_CANT_OPEN_FILE;
  if (byte == kDataFileFirstByte) {
    file.kind = FileKind::data_file;
    return read_data_file(path, &file.layout, &file.prefix, &file.header, &file.intensity,
                          &file.phase);
  }
  file.kind = FileKind::hdp;
  file.hdp_format = byte;
  return read_hdp_file(path, &file.prefix, &file.header, &file.phase);
}

bool is_valid_phase(int32_t sample) {
  return sample < PHASE_INVALID;
}

PhaseStatistics phase_statistics(const phase_matrix &phase) {
  PhaseStatistics s;
  if (!phase.matrix || phase.width <= 0 || phase.height <= 0)
    return s;
  s.samples = uint64_t(phase.width) * uint64_t(phase.height);
  int64_t sum = 0;
  int32_t lo = INT32_MAX, hi = INT32_MIN;
  for (const int32_t *p = phase.matrix; p != phase.matrix + s.samples; ++p) {
    if (!is_valid_phase(*p))
      continue;
    ++s.valid;
    sum += *p;
    lo = std::min(lo, *p);
    hi = std::max(hi, *p);
  }
  if (s.valid > 0) {
    s.minimum = lo;
    s.maximum = hi;
    s.mean = static_cast<double>(sum) / static_cast<double>(s.valid);
  }
  return s;
}

} // namespace ferry::info
