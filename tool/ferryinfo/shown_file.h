#pragma once
// The file ferryinfo shows: a binary data file or an HDP file, read into
// the records the conversion uses, and the statistics of its phase samples.

#include <cstdint>

#include "datafile/data_file.h"
#include "datafile/data_file_reader.h"
#include "datafile/matrix.h"

namespace ferry::info {

enum class FileKind { data_file, hdp };

struct ShownFile {
  FileKind kind = FileKind::data_file;
  int hdp_format = 0;        // HDP files: the format code, 2 or 3
  data_file_layout layout{}; // binary data files
  data_prefix prefix{};
  data_header header{}; // HDP files: the record the conversion fills
  intensity_matrix intensity{};
  phase_matrix phase{}; // HDP files: converted and flipped

  ShownFile() = default;
  ShownFile(const ShownFile &) = delete;
  ShownFile &operator=(const ShownFile &) = delete;
  ~ShownFile();
};

// Reads path as a binary data file when its first byte is the first byte
// of every data file's magic number (0x88), else as an HDP file; the
// reader's result code. Messages of the readers go through the message
// hook.
u_err_t load_shown_file(const char *path, ShownFile &file);

struct PhaseStatistics {
  uint64_t samples = 0; // width x height of the phase window
  uint64_t valid = 0;
  int32_t minimum = 0; // of the valid samples; 0 when there are none
  int32_t maximum = 0;
  double mean = 0;
};

// A sample of PHASE_INVALID or above has no valid phase.
bool is_valid_phase(int32_t sample);

// Over the samples of the phase window; none without a buffer.
PhaseStatistics phase_statistics(const phase_matrix &phase);

} // namespace ferry::info
