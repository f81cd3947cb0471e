// The binary data file reader: what a written file reads back as, the
// files it refuses and with which code, streams, paths and out-of-memory
// behaviour.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "datafile/data_file_reader.h"
#include "support/test_support.h"
#include "tests/datafile/alloc_sizes.h"

using ferry::test::AllocSizes;
using ferry::test::expect_no_leak_under_oom;
using ferry::test::MessageCapture;
using ferry::test::read_file;
using ferry::test::TempDir;
using ferry::test::write_file;
using Bytes = std::vector<uint8_t>;

namespace {

// What one read gave back; the matrices are given back with it.
struct Read {
  u_err_t result = -1;
  data_file_layout layout{};
  data_prefix prefix{};
  data_header header{};
  intensity_matrix intensity{};
  phase_matrix phase{};
  Read() = default;
  Read(const Read &) = delete;
  ~Read() {
    intensity_matrix_free(&intensity);
    phase_matrix_free(&phase);
  }
  void from(const std::string &path) {
    result = read_data_file(path.c_str(), &layout, &prefix, &header, &intensity, &phase);
  }
};

void put_be(Bytes &b, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i)
    b.at(at + i) = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
}

// A file with both arrays: 3 x 2 intensity samples in 2 buckets at (-1, 4)
// and a 4 x 3 phase window at (2, 1).
class DataFileReader : public ::testing::Test {
protected:
  TempDir dir;
  std::string path = dir.file("in.dat");
  uint16_t intens_samples[12];
  int32_t phase_samples[12];
  intensity_matrix intensity{12, -1, 4, 3, 2, 2, 0x0102, intens_samples};
  phase_matrix phase{12, 2, 1, 4, 3, phase_samples};
  data_header header{};

  void SetUp() override {
    std::iota(intens_samples, intens_samples + 12, uint16_t{0xFFF0});
    for (int i = 0; i < 12; ++i)
      phase_samples[i] = (i % 2 ? -1 : 1) * i * 1000003;
    phase_samples[5] = PHASE_INVALID;
  }

  Bytes written() {
    EXPECT_EQ(write_data_file(path.c_str(), nullptr, &header, &intensity, &phase), 0);
    return read_file(path);
  }
};

TEST_F(DataFileReader, AnEmptyArrayKeepsItsWindowWithoutABuffer) {
  intensity.width = 0; // present, but without samples
  Bytes bytes = written();
  Read r;
  r.from(path);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.layout.intens_bytes, 0u);
  EXPECT_EQ((std::vector<int>{r.intensity.x, r.intensity.y, r.intensity.width, r.intensity.height,
                              r.intensity.n_buckets}),
            (std::vector<int>{-1, 4, 0, 2, 2}));
  EXPECT_EQ(r.intensity.matrix, nullptr);
  EXPECT_EQ(r.intensity.size, 0u);
  ASSERT_NE(r.phase.matrix, nullptr);
  EXPECT_EQ(r.phase.matrix[11], phase_samples[11]);
}

TEST_F(DataFileReader, BytesAfterThePhaseArrayAreIgnored) {
  Bytes bytes = written();
  bytes.insert(bytes.end(), {1, 2, 3});
  write_file(path, bytes);
  Read r;
  r.from(path);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.phase.matrix[0], phase_samples[0]);
}

// Each damaged file is refused with its code, without a buffer left in a
// matrix and without a single allocation: nothing is taken for counts the
// file cannot hold.
TEST_F(DataFileReader, DamagedFilesAreRefusedWithTheirCodes) {
  const Bytes good = written();
  header.n16_at_838 = 1;
  const Bytes long_header = written();
  ASSERT_EQ(long_header.size(), 4096u + 24u + 48u);
  auto cut = [](const Bytes &b, size_t n) { return Bytes(b.begin(), b.begin() + n); };
  auto with = [](Bytes b, size_t at, uint64_t v, int n) {
    put_be(b, at, v, n);
    return b;
  };
  const std::string magic_message = "*** Magic number = 0x881B0372, expected 0x881B036F, "
                                    "0x881B0370 or 0x881B0371 ***\n";
  struct Case {
    const char *what;
    Bytes bytes;
    u_err_t code;
    std::string message;
  } cases[] = {
      {"empty file", {}, ERR_PREMATURE_EOF, ""},
      {"cut inside the magic number", cut(good, 3), ERR_PREMATURE_EOF, ""},
      {"short header cut at 833", cut(good, 833), ERR_PREMATURE_EOF, ""},
      {"long header cut at 834", cut(long_header, 834), ERR_PREMATURE_EOF, ""},
      {"long header cut at 4095", cut(long_header, 4095), ERR_PREMATURE_EOF, ""},
      {"wrong magic", with(good, 0, 0x881B0372, 4), ERR_NOT_A_DATA_FILE, magic_message},
      {"an HDP file", with(good, 0, 0x02000000, 4), ERR_NOT_A_DATA_FILE,
       "*** Magic number = 0x02000000, expected 0x881B036F, 0x881B0370 or 0x881B0371 ***\n"},
      {"format 3 under the magic of format 1", with(good, 4, 3, 2), ERR_NOT_A_DATA_FILE,
       "*** Header format 3 of 834 bytes does not match magic number 0x881B036F ***\n"},
      {"834 bytes under the magic of format 3", with(long_header, 6, 834, 4), ERR_NOT_A_DATA_FILE,
       "*** Header format 3 of 834 bytes does not match magic number 0x881B0371 ***\n"},
      {"4096 bytes under the magic of format 1", with(good, 6, 4096, 4), ERR_NOT_A_DATA_FILE,
       "*** Header format 1 of 4096 bytes does not match magic number 0x881B036F ***\n"},
      {"phase array one byte short", cut(good, good.size() - 1), ERR_CORRUPT_DATA_FILE, ""},
      {"cut inside the intensity array", cut(good, 834 + 10), ERR_CORRUPT_DATA_FILE, ""},
      {"long header with its arrays cut", cut(long_header, 4096 + 24), ERR_CORRUPT_DATA_FILE, ""},
      {"the largest phase window in a small file",
       with(with(good, 68, 0x7FFF7FFF, 4), 72, 32767ull * 32767 * 4, 4), ERR_CORRUPT_DATA_FILE, ""},
      {"phase length not what the window gives", with(good, 72, 44, 4), ERR_NOT_A_DATA_FILE,
       "*** Phase array of 44 bytes does not match its window of 4 x 3 samples ***\n"},
      {"phase window of negative extents", with(with(good, 68, 0xFFFCFFFD, 4), 72, 48, 4),
       ERR_NOT_A_DATA_FILE,
       "*** Phase array of 48 bytes does not match its window of -4 x -3 samples ***\n"},
      {"negative bucket count", with(with(good, 56, 0xFFFE, 2), 60, 24, 4), ERR_NOT_A_DATA_FILE,
       "*** Intensity array of 24 bytes does not match its window of 3 x 2 samples in -2 "
       "buckets ***\n"},
      {"intensity length beyond 32 bits",
       with(with(good, 52, 0x7FFF7FFF, 4), 60, (32767ull * 32767 * 4 * 2) & 0xFFFFFFFF, 4),
       ERR_NOT_A_DATA_FILE,
       "*** Intensity array of 4294443016 bytes does not match its window of 32767 x 32767 "
       "samples in 2 buckets ***\n"},
  };
  for (const Case &c : cases) {
    write_file(path, c.bytes);
    MessageCapture messages;
    AllocSizes allocations;
    Read r;
    r.from(path);
    EXPECT_EQ(r.result, c.code) << c.what;
    EXPECT_EQ(messages.text(), c.message) << c.what;
    EXPECT_TRUE(allocations.sizes.empty()) << c.what;
    EXPECT_EQ(r.intensity.matrix, nullptr) << c.what;
    EXPECT_EQ(r.phase.matrix, nullptr) << c.what;
  }
}

TEST_F(DataFileReader, MissingFilesAndStreamsHaveTheirCodes) {
  Read r;
  r.from(dir.file("missing.dat"));
  EXPECT_EQ(r.result, ERR_CANT_OPEN_FILE);
  EXPECT_EQ(read_data_file(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERR_CANT_OPEN_FILE);
  EXPECT_EQ(read_data_stream(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERR_INVALID_PARAM);
}

TEST_F(DataFileReader, RecordsAreClearedFirst) {
  Read r;
  std::memset(&r.header, 0x55, sizeof r.header);
  r.prefix.prefix_code = 9;
  r.phase.x = 3;
  r.from(dir.file("missing.dat"));
  EXPECT_EQ(r.header.n32_at_1450, 0);
  EXPECT_EQ(r.prefix.prefix_code, 0);
  EXPECT_EQ(r.phase.x, 0);
}

// Files written one after another into one stream read back one after
// another; the arrays of a matrix left out are stepped over.
TEST_F(DataFileReader, StreamsReadFileAfterFile) {
  FILE *f = std::fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write_data_stream(f, nullptr, nullptr, &intensity, &phase), 0);
  header.n16_at_218 = 2;
  ASSERT_EQ(write_data_stream(f, nullptr, &header, nullptr, &phase), 0);
  std::rewind(f);
  data_file_layout first, second;
  phase_matrix p1{}, p2{};
  EXPECT_EQ(read_data_stream(f, &first, nullptr, nullptr, nullptr, &p1), 0);
  EXPECT_EQ(read_data_stream(f, &second, nullptr, nullptr, nullptr, &p2), 0);
  EXPECT_EQ(std::fgetc(f), EOF);
  std::fclose(f);
  EXPECT_EQ(first.header_format, 1);
  EXPECT_EQ(first.intens_bytes, 24u);
  EXPECT_EQ(second.header_format, 2);
  EXPECT_EQ(second.intens_bytes, 0u);
  for (phase_matrix *p : {&p1, &p2}) {
    ASSERT_NE(p->matrix, nullptr);
    EXPECT_EQ(std::vector<int32_t>(p->matrix, p->matrix + 12),
              std::vector<int32_t>(phase_samples, phase_samples + 12));
    phase_matrix_free(p);
  }
}

TEST_F(DataFileReader, Utf16PathsAreReadAsTheWriterTakesThem) {
  std::filesystem::path target = dir.path() / u8"\u00e9t\u00e9.dat";
  std::string text = "\xFF\xFE";
  for (char16_t unit : target.u16string() + u'\0')
    text += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  ASSERT_EQ(write_data_file(text.c_str(), nullptr, nullptr, nullptr, &phase), 0);
  Read r;
  r.from(text);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.phase.matrix[11], phase_samples[11]);
  phase_matrix_free(&r.phase);

  // The path's buffer is the first allocation, then the two matrices.
  long n = expect_no_leak_under_oom(
      [&] {
        r.from(text);
        return r.result;
      },
      [&] { phase_matrix_free(&r.phase); });
  EXPECT_EQ(n, 2);
}

TEST_F(DataFileReader, EveryAllocationFailsCleanly) {
  written();
  Read r;
  long n = expect_no_leak_under_oom(
      [&] {
        r.from(path);
        return r.result;
      },
      [&] {
        intensity_matrix_free(&r.intensity);
        phase_matrix_free(&r.phase);
      });
  EXPECT_EQ(n, 2);
}

} // namespace
