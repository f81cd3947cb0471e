// ferrycvt's output read back: for the bundled sample and for files of the
// benchmark generator, the data file holds the samples of the HDP input,
// as its own bytes give them, and the header record the HDP reader fills.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datafile/data_file_reader.h"
#include "support/run_program.h"
#include "support/test_support.h"
#include "tool/hdp_bytes.h"
#include "tool/hdp_reader.h"

namespace ferry::test {
namespace {

int16_t be16_at(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<int16_t>(b.at(at) << 8 | b.at(at + 1));
}

// Converts the HDP file and compares what the data file reader gives back
// with the HDP file's own bytes.
void expect_round_trip(const TempDir &dir, const std::string &hdp) {
  const std::string out = dir.file("out.dat");
  ProgramRun run = run_program(dir, FERRYCVT_PATH, {"-f", hdp, out});
  ASSERT_EQ(run.status, 0) << run.err;

  const std::vector<uint8_t> in = read_file(hdp);
  const int format = in.at(0), type = in.at(40);
  const size_t window = hdp_window_offset(format, type);
  const int y0 = be16_at(in, window), x0 = be16_at(in, window + 2);
  const int rows = be16_at(in, window + 4), cols = be16_at(in, window + 6);

  data_file_layout layout;
  data_header header;
  intensity_matrix intensity;
  phase_matrix phase;
  ASSERT_EQ(read_data_file(out.c_str(), &layout, nullptr, &header, &intensity, &phase), 0);
  EXPECT_EQ(layout.header_format, 1);
  EXPECT_EQ(layout.intens_bytes, 0u);
  EXPECT_EQ(intensity.matrix, nullptr);
  EXPECT_EQ((std::vector<int>{phase.x, phase.y, phase.width, phase.height}),
            (std::vector<int>{x0, 210 - rows - y0, cols, rows}));
  // The first stored row is the bottom row of the picture: the last one.
  size_t at = hdp_header_size(format), mismatches = 0;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c, at += 2) {
      const int16_t s = be16_at(in, at);
      const int32_t expected = s == 0x7FFF ? PHASE_INVALID : s * 8;
      mismatches += phase.matrix[size_t(rows - 1 - r) * cols + c] != expected;
    }
  EXPECT_EQ(mismatches, 0u);
  phase_matrix_free(&phase);

  data_prefix hdp_prefix;
  data_header hdp_header;
  phase_matrix hdp_phase;
  MessageCapture unsquared_warning;
  ASSERT_EQ(read_hdp_file(hdp.c_str(), &hdp_prefix, &hdp_header, &hdp_phase), 0);
  phase_matrix_free(&hdp_phase);
  EXPECT_EQ(std::memcmp(&header, &hdp_header, sizeof header), 0);
}

TEST(ConversionRoundTrip, TheBundledSample) {
  TempDir dir;
  expect_round_trip(dir, std::string(FERRY_SOURCE_DIR) + "/examples/sample.hdp");
}

// Shapes from one sample to windows that cross every read piece of both
// readers, in both HDP formats and both phase types, with origins.
TEST(ConversionRoundTrip, GeneratedFiles) {
  TempDir dir;
  const std::string hdp = dir.file("gen.hdp");
  for (const std::vector<std::string> &shape :
       std::vector<std::vector<std::string>>{{"1", "1", "2", "4"},
                                             {"3", "701", "3", "3", "5", "7"},
                                             {"129", "257", "2", "4"},
                                             {"300", "500", "3", "4", "0", "0"},
                                             {"24", "32", "2", "4", "40", "100"}}) {
    std::vector<std::string> args(shape.begin(), shape.begin() + 4);
    args.push_back(hdp);
    args.insert(args.end(), shape.begin() + 4, shape.end());
    ProgramRun gen = run_program(dir, HDP_GEN_PATH, args);
    ASSERT_EQ(gen.status, 0) << gen.err;
    SCOPED_TRACE(shape[0] + " x " + shape[1] + ", format " + shape[2] + ", type " + shape[3]);
    expect_round_trip(dir, hdp);
  }
}

} // namespace
} // namespace ferry::test
