// Runs the built ferrycvt and checks its exit status, every byte it prints
// on standard error and the files it leaves behind.

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "support/run_program.h"
#include "support/test_support.h"
#include "tool/hdp_bytes.h"

namespace ferry::test {
namespace {

const std::string kUsage = "\nUsage:  ferrycvt [options] input output\n"
                           "\tinput  = existing HDP data file\n"
                           "\toutput = Tarn binary data file to create\n"
                           "\n\tOptions:\n"
                           "\t\t-f\twrites output even if file already exists\n";

std::string unable(const std::string &in, const std::string &out) {
  return "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n";
}
std::string converting(const std::string &in, const std::string &out) {
  return "Converting \"" + in + "\" to \"" + out + "\"\n";
}
std::string successful(const std::string &in, const std::string &out) {
  return "Conversion from \"" + in + "\" to \"" + out + "\" successful\n";
}

// The binary data file the default sample converts to, laid out from the
// file format alone.
std::vector<uint8_t> expected_output(const HdpSpec &s) {
  std::vector<uint8_t> b(834, 0);
  put_be32(b, 0, 0x881B036F);
  put_be16(b, 4, 1);
  put_be32(b, 6, 834);
  put_be16(b, 64, static_cast<uint16_t>(s.x0));
  put_be16(b, 66, static_cast<uint16_t>(210 - s.rows - s.y0));
  put_be16(b, 68, static_cast<uint16_t>(s.cols));
  put_be16(b, 70, static_cast<uint16_t>(s.rows));
  put_be32(b, 72, static_cast<uint32_t>(s.rows * s.cols * 4));
  put_be32(b, 76, 1104932700); // 05-JAN-2005/13:45:00 in UTC
  put_text(b, 80, 82, "Data from " + s.text_at_29 + " SPM" + s.text_at_14);
  put_be16(b, 162, static_cast<uint16_t>(s.n8_at_39));
  put_be32(b, 164, std::bit_cast<uint32_t>(static_cast<float>(s.n32_at_144 / 1e7)));
  put_be32(b, 168, std::bit_cast<uint32_t>(static_cast<float>(s.n32_at_148 / 1e13)));
  put_be32(b, 176, 0x3F800000);
  put_be16(b, 192, s.flag_b ? 1 : 0);
  put_be16(b, 202, s.flag_at_152 ? 1 : 0);
  put_be16(b, 234, 288);
  put_be16(b, 236, 210);
  put_text(b, 258, 39, s.name);
  for (int r = s.rows - 1; r >= 0; --r)
    for (int c = 0; c < s.cols; ++c) {
      int16_t v = s.samples[size_t(r * s.cols + c)];
      b.resize(b.size() + 4);
      put_be32(b, b.size() - 4, static_cast<uint32_t>(v == 0x7FFF ? 0x7FFFFFF8 : v * 8));
    }
  return b;
}

class Ferrycvt : public ::testing::Test {
protected:
  TempDir dir;
  std::string in = dir.file("in.hdp");
  std::string out = dir.file("out.dat");
  HdpSpec spec = [] {
    HdpSpec s;
    s.y0 = 10;
    s.x0 = 20;
    s.n8_at_39 = -2;
    s.n32_at_144 = 31415926;
    s.n32_at_148 = 27182818;
    s.flag_at_152 = 1;
    s.name = "surface 7";
    s.samples = {1, 2, 0x7FFF, -1, 0, 4};
    return s;
  }();

  void SetUp() override { write_file(in, hdp_file(spec)); }

  ProgramRun run(const std::vector<std::string> &args) {
    return run_program(dir, FERRYCVT_PATH, args);
  }

  bool exists(const std::string &p) const { return std::filesystem::exists(p); }
};

TEST_F(Ferrycvt, ConvertsToFormatOneWithThePhaseArray) {
  ProgramRun r = run({in, out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, converting(in, out) + successful(in, out));
  EXPECT_EQ(r.out, "");
  std::vector<uint8_t> expected = expected_output(spec);
  ASSERT_EQ(expected.size(), 834u + 24u);
  EXPECT_EQ(read_file(out), expected);
}

TEST_F(Ferrycvt, LargeWindowsConvertAcrossEveryChunkBoundary) {
  // Rows that do not divide the reader's chunks and a phase array of
  // several writer chunks whose length is no multiple of a vector.
  spec.rows = 701;
  spec.cols = 1203;
  spec.samples.resize(size_t(spec.rows) * spec.cols);
  for (size_t i = 0; i < spec.samples.size(); ++i)
    spec.samples[i] = static_cast<int16_t>(i % 89 == 0 ? 0x7FFF : (i * 40503u) & 0xFFFF);
  write_file(in, hdp_file(spec));
  ProgramRun r = run({in, out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, converting(in, out) + successful(in, out));
  EXPECT_TRUE(read_file(out) == expected_output(spec)) << "output differs";
}

TEST_F(Ferrycvt, TooFewArgumentsPrintUsage) {
  for (const auto &args :
       std::vector<std::vector<std::string>>{{}, {in}, {"-f", in}, {"-f", "-f"}}) {
    ProgramRun r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(exists(out));
}

TEST_F(Ferrycvt, UnknownOptionsAndExtraPathsPrintUsage) {
  const std::string missing = dir.file("missing.hdp");
  for (const auto &args : std::vector<std::vector<std::string>>{{"-x", missing, out},
                                                                {in, out, "extra"},
                                                                {in, "-", out},
                                                                {in, out, "-"},
                                                                {"-F", in, out},
                                                                {in, out, "-f", "-q"}}) {
    ProgramRun r = run(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, kUsage);
  }
  EXPECT_FALSE(exists(out));
}

TEST_F(Ferrycvt, ForceMayComeAnywhereAndInAnySpelling) {
  const std::vector<uint8_t> expected = expected_output(spec);
  for (const auto &args : std::vector<std::vector<std::string>>{{in, out, "-f"},
                                                                {"-f", in, out},
                                                                {in, "-f", out},
                                                                {"-ff", in, out},
                                                                {in, out, "-fx"},
                                                                {"-f", in, "-f", out}}) {
    write_text(out, "old contents");
    ProgramRun r = run(args);
    EXPECT_EQ(r.status, 0) << args[0] << " " << args[1];
    EXPECT_EQ(r.err, converting(in, out) + successful(in, out));
    EXPECT_EQ(read_file(out), expected);
  }
}

TEST_F(Ferrycvt, MissingInputOrDirectoryIsNotAnInput) {
  for (const std::string &input : {dir.file("missing.hdp"), dir.path().string()}) {
    ProgramRun r = run({input, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, unable(input, out) + "\t\"" + input + "\" does not exist\n");
    EXPECT_FALSE(exists(out));
  }
}

TEST_F(Ferrycvt, ExistingOutputIsKeptWithoutForce) {
  write_text(out, "keep me");
  ProgramRun r = run({in, out});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, unable(in, out) + "\t\"" + out + "\" already exists\n");
  EXPECT_EQ(read_text(out), "keep me");
}

TEST_F(Ferrycvt, InputMayBeReplacedByItsOwnConversion) {
  ProgramRun r = run({"-f", in, in});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, converting(in, in) + successful(in, in));
  EXPECT_EQ(read_file(in), expected_output(spec));
}

TEST_F(Ferrycvt, ReaderFailureCreatesNoOutput) {
  spec.data_type = 1;
  write_file(in, hdp_file(spec));
  ProgramRun r = run({in, out});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, converting(in, out) + "*** Type of data is Light Levels ***\n" +
                       unable(in, out) + "\tthere was an error reading the file \"" + in +
                       "\"\n\tERR_NOT_A_DATA_FILE\n");
  EXPECT_FALSE(exists(out));

  write_file(in, {});
  r = run({in, out});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, converting(in, out) + unable(in, out) +
                       "\tthere was an error reading the file \"" + in +
                       "\"\n\tERR_PREMATURE_EOF\n");
  EXPECT_FALSE(exists(out));
}

TEST_F(Ferrycvt, ReaderMessagesComeBetweenTheDriverLines) {
  spec.data_type = 3;
  write_file(in, hdp_file(spec));
  ProgramRun r = run({in, out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, converting(in, out) + "*** WARNING: Phase data in \"" + in +
                       "\" is unsquared ***\n" + successful(in, out));
  EXPECT_TRUE(exists(out));
}

TEST_F(Ferrycvt, WriterFailureIsStatusFive) {
  for (const std::string &target : {dir.file("no-such-folder/out.dat"), dir.path().string()}) {
    ProgramRun r = run({in, target});
    EXPECT_EQ(r.status, 5) << target;
    EXPECT_EQ(r.err, converting(in, target) + unable(in, target) +
                         "\tthere was an error writing to the file \"" + target +
                         "\"\n\tERR_CANT_CREATE_FILE\n");
  }
  EXPECT_FALSE(exists(dir.file("no-such-folder")));
}

TEST_F(Ferrycvt, FailedWritesAreStatusFive) {
  // A device that takes the open but refuses every byte.
  const std::string full = "/dev/full";
  if (plat_dir_separator == '\\' || !std::filesystem::exists(full))
    GTEST_SKIP() << "no " << full << " here";
  ProgramRun r = run({in, full});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, converting(in, full) + unable(in, full) +
                       "\tthere was an error writing to the file \"" + full +
                       "\"\n\tERR_CANT_WRITE_FILE\n");
}

TEST_F(Ferrycvt, BundledSampleConverts) {
  const std::string sample = std::string(FERRY_SOURCE_DIR) + "/examples/sample.hdp";
  ProgramRun r = run({sample, out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, converting(sample, out) + successful(sample, out));
  std::vector<uint8_t> bytes = read_file(out);
  ASSERT_GE(bytes.size(), 834u);
  // The window of the sample: 24 rows of 32 columns.
  EXPECT_EQ(bytes.size(), 834u + 32u * 24u * 4u);
  EXPECT_EQ(bytes[0], 0x88);
  EXPECT_EQ(bytes[5], 1);
}

} // namespace
} // namespace ferry::test
