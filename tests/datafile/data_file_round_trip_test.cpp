// The reader as the writer's inverse, over a few thousand random cases:
// written records read back field for field and sample for sample, and a
// file read and written again comes out byte for byte the same.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "datafile/data_file_internal.h"
#include "datafile/data_file_reader.h"
#include "support/test_support.h"

using ferry::data_layout::Field;
using ferry::data_layout::kFields;
using ferry::test::TempDir;

namespace {

unsigned char *member(data_header &h, const Field &f) {
  return reinterpret_cast<unsigned char *>(&h) + f.member;
}

// One random case: every field of the header random, then shaped so that
// the writer picks the case's format; each array present or absent (never
// both absent), with windows anywhere in the 16-bit range and buffers that
// may be larger than their windows.
class Case {
public:
  explicit Case(std::mt19937 &rng) : rng_(rng) {
    format = pick(1, 3);
    for (const Field &f : kFields)
      for (int i = 0; i < f.bytes; ++i)
        member(header, f)[i] = static_cast<unsigned char>(bits());
    shape_header();
    if (pick(0, 1))
      prefix = random_prefix();
    const int arrays = pick(1, 3); // 1: intensity, 2: phase, 3: both
    if (arrays & 1)
      fill_intensity();
    if (arrays & 2)
      fill_phase();
  }

  int format;
  data_header header{};
  std::optional<data_prefix> prefix;
  std::vector<uint16_t> intens_samples;
  std::optional<intensity_matrix> intensity;
  std::vector<int32_t> phase_samples;
  std::optional<phase_matrix> phase;

  const data_prefix *prefix_or_none() const { return prefix ? &*prefix : nullptr; }
  const intensity_matrix *intensity_or_none() const { return intensity ? &*intensity : nullptr; }
  const phase_matrix *phase_or_none() const { return phase ? &*phase : nullptr; }

private:
  std::mt19937 &rng_;

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  // Raw bits, for the bulk of the bytes and samples.
  uint32_t bits() { return static_cast<uint32_t>(rng_()); }

  // A short header stores nothing from offset 834 on (bytes_at_834
  // included), and its selector decides between formats 1 and 2.
  void shape_header() {
    if (format == 3) {
      header.n16_at_838 = static_cast<int16_t>(pick(1, 32767));
      return;
    }
    for (const Field &f : kFields)
      if (f.offset >= DATA_FILE_SHORT_HEADER_SIZE)
        std::memset(member(header, f), 0, f.bytes);
    header.n16_at_218 = static_cast<int16_t>(format == 2 ? pick(2, 32767) : pick(-32768, 1));
  }

  data_prefix random_prefix() {
    data_prefix p{};
    p.prefix_code = static_cast<int16_t>(pick(-32768, 32767));
    for (char &c : p.prefix_text)
      c = static_cast<char>(pick(0, 255));
    p.prefix_value_1 = static_cast<int16_t>(pick(-32768, 32767));
    p.prefix_value_2 = static_cast<int16_t>(pick(-32768, 32767));
    p.prefix_value_3 = static_cast<int16_t>(pick(-32768, 32767));
    return p;
  }

  // Mostly small odd shapes; now and then one large enough to take the
  // reader through several pieces.
  window random_window() {
    const bool large = pick(0, 40) == 0;
    return {static_cast<int16_t>(pick(-32768, 32767)), static_cast<int16_t>(pick(-32768, 32767)),
            static_cast<int16_t>(large ? pick(250, 400) : pick(1, 37)),
            static_cast<int16_t>(large ? pick(200, 300) : pick(1, 23))};
  }

  void fill_intensity() {
    const window w = random_window();
    const int16_t buckets = static_cast<int16_t>(pick(1, 3));
    intens_samples.resize(size_t(w.width) * w.height * buckets + pick(0, 5));
    for (uint16_t &s : intens_samples)
      s = static_cast<uint16_t>(bits());
    intensity = intensity_matrix{static_cast<uint32_t>(intens_samples.size()),
                                 w.x,
                                 w.y,
                                 w.width,
                                 w.height,
                                 buckets,
                                 static_cast<int16_t>(pick(-32768, 32767)),
                                 intens_samples.data()};
  }

  void fill_phase() {
    const window w = random_window();
    phase_samples.resize(size_t(w.width) * w.height + pick(0, 5));
    for (int32_t &s : phase_samples)
      s = bits() % 10 == 0 ? PHASE_INVALID + int32_t(bits() % 8) : int32_t(bits());
    phase = phase_matrix{static_cast<uint32_t>(phase_samples.size()),
                         w.x,
                         w.y,
                         w.width,
                         w.height,
                         phase_samples.data()};
  }
};

struct Read {
  data_file_layout layout{};
  data_prefix prefix{};
  data_header header{};
  intensity_matrix intensity{};
  phase_matrix phase{};
  u_err_t result;
  explicit Read(FILE *stream) {
    result = read_data_stream(stream, &layout, &prefix, &header, &intensity, &phase);
  }
  Read(const Read &) = delete;
  ~Read() {
    intensity_matrix_free(&intensity);
    phase_matrix_free(&phase);
  }
  const intensity_matrix *intensity_or_none() const {
    return intensity.matrix ? &intensity : nullptr;
  }
  const phase_matrix *phase_or_none() const { return phase.matrix ? &phase : nullptr; }
};

// The bytes of the stream from `from` to `to`.
std::vector<uint8_t> stream_bytes(FILE *f, long from, long to) {
  std::vector<uint8_t> bytes(size_t(to - from));
  if (std::fseek(f, from, SEEK_SET) != 0 ||
      std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
    ADD_FAILURE() << "cannot read bytes " << from << " to " << to;
  return bytes;
}

// The first differing field of the two records, or "".
std::string differing_field(data_header a, data_header b) {
  for (const Field &f : kFields)
    if (std::memcmp(member(a, f), member(b, f), f.bytes) != 0)
      return "field at offset " + std::to_string(f.offset);
  return "";
}

void expect_read_back(const Case &c, const Read &r, int n) {
  constexpr uint32_t kMagic[] = {0, 0x881B036F, 0x881B0370, 0x881B0371};
  EXPECT_EQ(r.layout.magic_number, kMagic[c.format]) << n;
  EXPECT_EQ(r.layout.header_format, c.format) << n;
  EXPECT_EQ(r.layout.header_size, c.format == 3 ? 4096u : 834u) << n;
  EXPECT_EQ(differing_field(r.header, c.header), "") << n;
  const data_prefix none{};
  EXPECT_EQ(std::memcmp(&r.prefix, c.prefix ? &*c.prefix : &none, sizeof none), 0) << n;
  if (c.intensity) {
    const intensity_matrix &w = *c.intensity, &g = r.intensity;
    ASSERT_EQ(std::vector<int>({g.x, g.y, g.width, g.height, g.n_buckets, g.aux}),
              std::vector<int>({w.x, w.y, w.width, w.height, w.n_buckets, w.aux}))
        << n;
    ASSERT_EQ(g.size, uint32_t(w.width * w.height * w.n_buckets)) << n;
    EXPECT_TRUE(std::equal(g.matrix, g.matrix + g.size, w.matrix)) << n;
  } else {
    EXPECT_EQ(r.intensity.matrix, nullptr) << n;
    EXPECT_EQ(r.layout.intens_bytes, 0u) << n;
  }
  if (c.phase) {
    const phase_matrix &w = *c.phase, &g = r.phase;
    ASSERT_EQ(std::vector<int>({g.x, g.y, g.width, g.height}),
              std::vector<int>({w.x, w.y, w.width, w.height}))
        << n;
    ASSERT_EQ(g.size, uint32_t(w.width * w.height)) << n;
    EXPECT_TRUE(std::equal(g.matrix, g.matrix + g.size, w.matrix)) << n;
  } else {
    EXPECT_EQ(r.phase.matrix, nullptr) << n;
    EXPECT_EQ(r.layout.phase_bytes, 0u) << n;
  }
}

long end_of(FILE *f) {
  return std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
}

// One case through one stream: the written file is read back from where it
// starts, which must leave the stream where it ends; the records read are
// appended again and must give the same bytes.
void round_trip(const Case &c, FILE *f, int n) {
  const long start = end_of(f);
  ASSERT_EQ(
      write_data_stream(f, c.prefix_or_none(), &c.header, c.intensity_or_none(), c.phase_or_none()),
      0)
      << n;
  const long middle = end_of(f);
  ASSERT_EQ(std::fseek(f, start, SEEK_SET), 0);
  Read r(f);
  ASSERT_EQ(r.result, 0) << n;
  EXPECT_EQ(std::ftell(f), middle) << n;
  expect_read_back(c, r, n);
  ASSERT_EQ(write_data_stream(f, &r.prefix, &r.header, r.intensity_or_none(), r.phase_or_none()), 0)
      << n;
  const long end = end_of(f);
  ASSERT_TRUE(stream_bytes(f, middle, end) == stream_bytes(f, start, middle)) << n;
}

// The cases go in batches into a few files, so that the run costs few
// file creations, which are slow on some systems.
TEST(DataFileRoundTrip, WriteReadWriteOverRandomRecords) {
  TempDir dir;
  std::mt19937 rng(20240611);
  int formats_seen[4] = {};
  constexpr int kBatches = 60, kCasesPerBatch = 50;
  for (int batch = 0; batch < kBatches && !HasFatalFailure(); ++batch) {
    const std::string path = dir.file("batch" + std::to_string(batch) + ".dat");
    FILE *f = std::fopen(path.c_str(), "w+b");
    ASSERT_NE(f, nullptr);
    for (int k = 0; k < kCasesPerBatch && !HasFatalFailure(); ++k) {
      const Case c(rng);
      ++formats_seen[c.format];
      round_trip(c, f, batch * kCasesPerBatch + k);
    }
    std::fclose(f);
    std::filesystem::remove(path);
  }
  for (int format : {1, 2, 3})
    EXPECT_GT(formats_seen[format], 500) << format;
}

} // namespace
