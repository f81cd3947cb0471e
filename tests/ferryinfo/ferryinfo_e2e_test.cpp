// Runs the built ferryinfo: its exact report of the bundled sample, as text
// and JSON, before and after conversion; the picture it draws, decoded
// again; and its exit statuses and messages.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "datafile/data_file_reader.h"
#include "platform/image.h"
#include "support/run_program.h"
#include "support/test_support.h"
#include "tool/ferryinfo/report.h"
#include "tool/hdp_bytes.h"

namespace ferry::test {
namespace {

const std::string kSample = std::string(FERRY_SOURCE_DIR) + "/examples/sample.hdp";

std::string unable(const std::string &file) {
  return "Unable to show \"" + file + "\" because...\n";
}

// The fields both kinds of file share, as the sample gives them.
const std::string kSampleFields = "camera frame:     288 x 210\n"
                                  "phase window:     32 x 24 at (100, 146)\n";
const std::string kSampleRecord = "timestamp:        2026-12-08 03:00:00 (1796698800)\n"
                                  "comment:          Data from bench SPMgen\n"
                                  "name:             generated 24 x 32\n"
                                  "f32_at_164:       0.6328\n"
                                  "f32_at_168:       5e-06\n"
                                  "f32_at_176:       1\n"
                                  "f32_at_184:       0\n"
                                  "valid samples:    760 of 768\n"
                                  "invalid samples:  8 (1.04%)\n"
                                  "phase minimum:    -16296\n"
                                  "phase maximum:    -6512\n"
                                  "phase mean:       -11496.642\n";

class Ferryinfo : public ::testing::Test {
protected:
  TempDir dir;
  std::string converted = dir.file("sample.dat");
  std::string png = dir.file("sample.png");

  void SetUp() override {
    ProgramRun r = run_program(dir, FERRYCVT_PATH, {kSample, converted});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  ProgramRun run(const std::vector<std::string> &args) {
    return run_program(dir, FERRYINFO_PATH, args);
  }
};

TEST_F(Ferryinfo, ReportsTheConvertedSample) {
  ProgramRun r = run({converted});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "file:             " + converted + "\n" +
                       "kind:             binary data file\n"
                       "format:           1 (magic number 0x881B036F, 834-byte header)\n" +
                       kSampleFields +
                       "phase array:      3072 bytes\n"
                       "intensity window: none\n"
                       "intensity array:  0 bytes\n" +
                       kSampleRecord);
}

TEST_F(Ferryinfo, ReportsTheHdpInputWithTheSameFields) {
  ProgramRun r = run({kSample});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "file:             " + kSample + "\n" +
                       "kind:             HDP file\n"
                       "format:           2\n" +
                       kSampleFields + "intensity window: none\n" + kSampleRecord);
}

TEST_F(Ferryinfo, JsonCarriesTheSameFields) {
  ProgramRun r = run({"--json", converted});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\n"
                   "  \"file\": " +
                       info::json_string(converted) +
                       ",\n"
                       "  \"kind\": \"data file\",\n"
                       "  \"format\": 1,\n"
                       "  \"magic_number\": \"0x881B036F\",\n"
                       "  \"header_size\": 834,\n"
                       "  \"camera_width\": 288,\n"
                       "  \"camera_height\": 210,\n"
                       "  \"phase_window\": {\"x\": 100, \"y\": 146, \"width\": 32, \"height\": "
                       "24},\n"
                       "  \"phase_bytes\": 3072,\n"
                       "  \"intensity_window\": null,\n"
                       "  \"intens_bytes\": 0,\n"
                       "  \"timestamp\": 1796698800,\n"
                       "  \"date\": \"2026-12-08 03:00:00\",\n"
                       "  \"comment\": \"Data from bench SPMgen\",\n"
                       "  \"name\": \"generated 24 x 32\",\n"
                       "  \"f32_at_164\": 0.632799983,\n"
                       "  \"f32_at_168\": 4.99999987e-06,\n"
                       "  \"f32_at_176\": 1,\n"
                       "  \"f32_at_184\": 0,\n"
                       "  \"phase_samples\": 768,\n"
                       "  \"valid_samples\": 760,\n"
                       "  \"invalid_samples\": 8,\n"
                       "  \"invalid_share\": 0.01041666667,\n"
                       "  \"phase_minimum\": -16296,\n"
                       "  \"phase_maximum\": -6512,\n"
                       "  \"phase_mean\": -11496.64211\n"
                       "}\n");
}

struct Decoded {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;
  std::vector<uint8_t> pixel(uint32_t x, uint32_t y) const {
    const size_t at = (size_t(y) * width + x) * 3;
    return {rgb.at(at), rgb.at(at + 1), rgb.at(at + 2)};
  }
};

// Asks the system's decoder for the size first, then for the pixels.
Decoded decode_png(const std::string &path) {
  Decoded d;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f)
    return d;
  EXPECT_FALSE(plat_png_read_rgb(f, nullptr, 0, &d.width, &d.height));
  std::rewind(f);
  d.rgb.resize(size_t(d.width) * d.height * 3);
  EXPECT_TRUE(plat_png_read_rgb(f, d.rgb.data(), d.rgb.size(), &d.width, &d.height));
  std::fclose(f);
  return d;
}

// The picture is decoded again and compared, sample by sample, with the
// phase array: where the minimum, the maximum and an invalid sample lie.
TEST_F(Ferryinfo, DrawsThePhaseMapThatDecodesBack) {
  ProgramRun r = run({"--png", png, "--zoom", "3", converted});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Phase map of \"" + converted + "\" drawn in \"" + png + "\"\n");
  const std::vector<uint8_t> bytes = read_file(png);
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "\x89PNG\r\n\x1A\n");

  Decoded d = decode_png(png);
  ASSERT_EQ(d.width, 96u);
  ASSERT_EQ(d.height, 72u);
  phase_matrix phase{};
  ASSERT_EQ(read_data_file(converted.c_str(), nullptr, nullptr, nullptr, nullptr, &phase), 0);
  std::vector<int32_t> samples(phase.matrix, phase.matrix + 768);
  phase_matrix_free(&phase);
  auto at = [&](ptrdiff_t i) {
    return d.pixel(uint32_t(i % 32) * 3 + 2, uint32_t(i / 32) * 3 + 1);
  };
  auto valid = [](int32_t v) { return v < PHASE_INVALID; };
  const ptrdiff_t invalid =
      std::find(samples.begin(), samples.end(), PHASE_INVALID) - samples.begin();
  std::vector<int32_t> valid_only;
  std::copy_if(samples.begin(), samples.end(), std::back_inserter(valid_only), valid);
  const auto [lo, hi] = std::minmax_element(valid_only.begin(), valid_only.end());
  const ptrdiff_t minimum = std::find(samples.begin(), samples.end(), *lo) - samples.begin();
  const ptrdiff_t maximum = std::find(samples.begin(), samples.end(), *hi) - samples.begin();
  EXPECT_EQ(at(invalid), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(at(minimum), (std::vector<uint8_t>{68, 1, 84}));
  EXPECT_EQ(at(maximum), (std::vector<uint8_t>{253, 231, 37}));
}

TEST_F(Ferryinfo, AnExistingPictureIsKeptWithoutForce) {
  write_text(png, "keep me");
  ProgramRun r = run({converted, "--png", png});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, unable(converted) + "\t\"" + png + "\" already exists\n");
  EXPECT_EQ(read_text(png), "keep me");
  r = run({"-f", converted, "--png", png});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(decode_png(png).width, 32u);
}

TEST_F(Ferryinfo, BadCommandLinesPrintTheUsage) {
  for (const auto &args : std::vector<std::vector<std::string>>{{},
                                                                {"-x", converted},
                                                                {converted, converted},
                                                                {"--json"},
                                                                {converted, "--png"},
                                                                {converted, "--zoom", "0"},
                                                                {converted, "--zoom", "17"},
                                                                {converted, "--zoom", "2x"},
                                                                {"--zoom"},
                                                                {"-", converted}}) {
    ProgramRun r = run(args);
    EXPECT_EQ(r.status, 1) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("\nUsage:  ferryinfo [options] file\n", 0), 0u);
    EXPECT_NE(r.err.find("\tExit status: 0 shown, 1 usage, 2 file missing"), std::string::npos);
  }
}

TEST_F(Ferryinfo, MissingFilesAndUnreadableFilesHaveTheirStatuses) {
  for (const std::string &missing : {dir.file("missing.dat"), dir.path().string()}) {
    ProgramRun r = run({missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, unable(missing) + "\t\"" + missing + "\" does not exist\n");
  }

  const std::string cut = dir.file("cut.dat");
  std::vector<uint8_t> bytes = read_file(converted);
  bytes.resize(900);
  write_file(cut, bytes);
  ProgramRun r = run({cut});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, unable(cut) + "\tthere was an error reading the file \"" + cut +
                       "\"\n\tERR_CORRUPT_DATA_FILE\n");

  const std::string light = dir.file("light.hdp");
  HdpSpec spec;
  spec.data_type = 1;
  write_file(light, hdp_file(spec));
  r = run({light});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "*** Type of data is Light Levels ***\n" + unable(light) +
                       "\tthere was an error reading the file \"" + light +
                       "\"\n\tERR_NOT_A_DATA_FILE\n");
}

TEST_F(Ferryinfo, PicturesThatCannotBeWrittenAreStatusFive) {
  const std::string nowhere = dir.file("no-such-folder/map.png");
  ProgramRun r = run({converted, "--png", nowhere});
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.out, ""); // the report comes first
  EXPECT_EQ(r.err, unable(converted) + "\tthere was an error writing to the file \"" + nowhere +
                       "\"\n\tERR_CANT_CREATE_FILE\n");

  // A data file of intensity samples alone has no phase map to draw.
  const std::string intensity_only = dir.file("intensity.dat");
  uint16_t samples[4] = {1, 2, 3, 4};
  intensity_matrix im{4, 0, 0, 2, 2, 1, 0, samples};
  ASSERT_EQ(write_data_file(intensity_only.c_str(), nullptr, nullptr, &im, nullptr), 0);
  r = run({intensity_only, "--png", png});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, unable(intensity_only) + "\tthere was an error writing to the file \"" + png +
                       "\"\n\tERR_NO_DATA\n");
  EXPECT_FALSE(std::filesystem::exists(png));
}

TEST_F(Ferryinfo, AReportThatCannotBeWrittenIsStatusFive) {
  if (plat_dir_separator == '\\' || !std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no device that refuses every write here";
  ProgramRun r = run_program(dir, FERRYINFO_PATH, {converted}, "/dev/full");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err,
            unable(converted) +
                "\tthere was an error writing to the standard output\n\tERR_CANT_WRITE_FILE\n");
}

} // namespace
} // namespace ferry::test
