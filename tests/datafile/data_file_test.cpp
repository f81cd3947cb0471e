// The binary data file writer: header formats and field offsets, the two
// sample arrays, failures, paths, and out-of-memory behaviour.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "datafile/data_file.h"
#include "support/test_support.h"
#include "tests/datafile/alloc_sizes.h"

using ferry::test::AllocSizes;
using ferry::test::expect_no_leak_under_oom;
using ferry::test::FailingAllocator;
using ferry::test::read_file;
using ferry::test::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

struct Written {
  u_err_t result;
  Bytes bytes;
};

Written write(const data_prefix *prefix, const data_header *header,
              const intensity_matrix *intensity, const phase_matrix *phase) {
  TempDir dir;
  std::string path = dir.file("out.dat");
  u_err_t result = write_data_file(path.c_str(), prefix, header, intensity, phase);
  return {result, std::filesystem::exists(path) ? read_file(path) : Bytes{}};
}

uint32_t be32(const Bytes &b, size_t at) {
  return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 |
         b.at(at + 3);
}
uint16_t be16(const Bytes &b, size_t at) {
  return uint16_t(b.at(at) << 8 | b.at(at + 1));
}

bool all_zero(const Bytes &b, size_t from, size_t to) {
  return std::all_of(b.begin() + from, b.begin() + to, [](uint8_t v) { return v == 0; });
}

// A 4 x 3 phase window at (2, 1) with samples 0, -1, 2, -3, ...
struct Phase {
  int32_t samples[12];
  phase_matrix m{12, 2, 1, 4, 3, samples};
  Phase() {
    for (int i = 0; i < 12; ++i)
      samples[i] = i % 2 ? -i : i;
    samples[11] = PHASE_INVALID;
  }
};

} // namespace

TEST(DataFileHeader, ZeroRecordAndSmallPhaseGiveThe882ByteFile) {
  Phase p;
  data_header header{};
  for (const data_header *h : std::initializer_list<const data_header *>{&header, nullptr}) {
    Written w = write(nullptr, h, nullptr, &p.m);
    ASSERT_EQ(w.result, 0);
    ASSERT_EQ(w.bytes.size(), 882u);
    EXPECT_EQ(Bytes(w.bytes.begin(), w.bytes.begin() + 10),
              (Bytes{0x88, 0x1B, 0x03, 0x6F, 0x00, 0x01, 0x00, 0x00, 0x03, 0x42}));
    EXPECT_TRUE(all_zero(w.bytes, 10, 64)); // no prefix, no intensity
    EXPECT_EQ(be16(w.bytes, 64), 2);
    EXPECT_EQ(be16(w.bytes, 66), 1);
    EXPECT_EQ(be16(w.bytes, 68), 4);
    EXPECT_EQ(be16(w.bytes, 70), 3);
    EXPECT_EQ(be32(w.bytes, 72), 48u);
    EXPECT_TRUE(all_zero(w.bytes, 76, 834));
    for (int i = 0; i < 12; ++i)
      EXPECT_EQ(be32(w.bytes, 834 + 4 * i), static_cast<uint32_t>(p.samples[i]));
  }
}

TEST(DataFileHeader, SelectorAndExtendedFieldsChooseTheFormat) {
  Phase p;
  auto format_of = [&](const data_header &h) {
    Written w = write(nullptr, &h, nullptr, &p.m);
    EXPECT_EQ(w.result, 0);
    return std::tuple{be32(w.bytes, 0), be16(w.bytes, 4), be32(w.bytes, 6), w.bytes.size()};
  };
  data_header h{};
  h.n16_at_218 = 2;
  EXPECT_EQ(format_of(h), std::tuple(0x881B0370u, uint16_t{2}, 834u, size_t{882}));
  h.n16_at_218 = -5;
  EXPECT_EQ(format_of(h), std::tuple(0x881B036Fu, uint16_t{1}, 834u, size_t{882}));
  h.n16_at_218 = 1;
  h.bytes_at_834[2] = 0x55; // stored only by the long header, and selects nothing
  EXPECT_EQ(format_of(h), std::tuple(0x881B036Fu, uint16_t{1}, 834u, size_t{882}));

  h.bytes_at_1454[100] = 0x7E;
  Written w = write(nullptr, &h, nullptr, &p.m);
  ASSERT_EQ(w.result, 0);
  ASSERT_EQ(w.bytes.size(), 4096u + 48u);
  EXPECT_EQ(Bytes(w.bytes.begin(), w.bytes.begin() + 10),
            (Bytes{0x88, 0x1B, 0x03, 0x71, 0x00, 0x03, 0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(w.bytes[1554], 0x7E);
  EXPECT_EQ(w.bytes[836], 0x55);
  EXPECT_EQ(be16(w.bytes, 218), 1);
  EXPECT_EQ(be32(w.bytes, 4096), 0u); // the phase array follows the long header
}

TEST(DataFileHeader, FieldsLandBigEndianAtTheirOffsets) {
  Phase p;
  data_header h{};
  h.timestamp = 0x01020304;
  std::memcpy(h.comment, "Data\0xy", 7); // bytes after the NUL are kept
  h.n16_at_162 = -2;
  h.f32_at_176 = 1.0f;
  h.camera_width = 640;
  h.camera_height = 480;
  std::memcpy(h.bytes_at_208, "AB", 2);
  h.n32_at_498 = -7;
  h.n16_at_816 = 0x0A0B;
  h.n32_at_1450 = 0x11223344; // long header
  h.bytes_at_1454[2641] = 0x99;
  data_prefix prefix{0x1234, "thirty bytes of prefix text..", 1, -1, 0x0304};
  Written w = write(&prefix, &h, nullptr, &p.m);
  ASSERT_EQ(w.result, 0);
  const Bytes &b = w.bytes;
  EXPECT_EQ(be16(b, 10), 0x1234);
  EXPECT_EQ(std::string(b.begin() + 12, b.begin() + 42), std::string(prefix.prefix_text, 30));
  EXPECT_EQ(be16(b, 42), 1);
  EXPECT_EQ(be16(b, 44), 0xFFFF);
  EXPECT_EQ(be16(b, 46), 0x0304);
  EXPECT_EQ(be32(b, 76), 0x01020304u);
  EXPECT_EQ(std::string(b.begin() + 80, b.begin() + 87), std::string("Data\0xy", 7));
  EXPECT_EQ(be16(b, 162), 0xFFFE);
  EXPECT_EQ(be32(b, 176), 0x3F800000u);
  EXPECT_EQ(be16(b, 234), 640);
  EXPECT_EQ(be16(b, 236), 480);
  EXPECT_EQ(b[208], 'A');
  EXPECT_EQ(b[209], 'B');
  EXPECT_EQ(be32(b, 498), 0xFFFFFFF9u);
  EXPECT_EQ(be16(b, 816), 0x0A0B);
  EXPECT_EQ(be32(b, 1450), 0x11223344u);
  EXPECT_EQ(b[4095], 0x99);
}

TEST(DataFileArrays, IntensityGoesOutInChunksThroughOneBuffer) {
  std::vector<uint16_t> samples(70000); // no two alike, even 65536 apart
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<uint16_t>(i ^ (i >> 16) * 0x5555);
  intensity_matrix im{70000, -1, 2, 350, 200, 1, 0x0102, samples.data()};
  Phase p;
  const std::vector<uint16_t> before = samples;
  AllocSizes rec(65536);
  Written w = write(nullptr, nullptr, &im, &p.m);
  ASSERT_EQ(w.result, 0);
  EXPECT_EQ(rec.sizes, (std::vector<size_t>{65536, 48})); // both chunk buffers
  EXPECT_EQ(samples, before);                             // swapping happens in the copies
  // The chunk buffer as it was given back: the third chunk (samples 65536
  // to 69999) over the start of the second (samples 32768 to 65535), so
  // the chunks were 32768, 32768 and 4464 samples.
  ASSERT_EQ(rec.kept.size(), 65536u);
  for (size_t slot : {size_t{0}, size_t{4463}, size_t{4464}, size_t{32767}}) {
    uint16_t expected = samples[slot < 4464 ? 65536 + slot : 32768 + slot];
    EXPECT_EQ(be16(rec.kept, 2 * slot), expected) << slot;
  }
  const Bytes &b = w.bytes;
  ASSERT_EQ(b.size(), 834u + 140000u + 48u);
  EXPECT_EQ(be16(b, 48), 0xFFFF);
  EXPECT_EQ(be16(b, 50), 2);
  EXPECT_EQ(be16(b, 52), 350);
  EXPECT_EQ(be16(b, 54), 200);
  EXPECT_EQ(be16(b, 56), 1);
  EXPECT_EQ(be16(b, 58), 0x0102);
  EXPECT_EQ(be32(b, 60), 140000u);
  for (size_t i = 0; i < samples.size(); ++i)
    if (be16(b, 834 + 2 * i) != samples[i])
      FAIL() << "sample " << i;
  EXPECT_EQ(be32(b, 834 + 140000), 0u);
}

TEST(DataFileArrays, PhaseGoesOutThroughABoundedBuffer) {
  // 300003 samples: two whole chunks and a last one whose length is no
  // multiple of a vector or a cache line. Every byte of each sample differs
  // from its neighbours', so a swap or an offset slip shows.
  constexpr size_t kChunk = 131072; // samples, 512 KiB
  std::vector<int32_t> samples(11 * 27273);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int32_t>(uint32_t(i) * 0x9E3779B1u);
  const std::vector<int32_t> before = samples;
  phase_matrix m{uint32_t(samples.size()), -3, 4, 11, 27273, samples.data()};
  AllocSizes rec(4 * kChunk);
  Written w = write(nullptr, nullptr, nullptr, &m);
  ASSERT_EQ(w.result, 0);
  EXPECT_EQ(rec.sizes, (std::vector<size_t>{4 * kChunk})); // no copy of the whole array
  EXPECT_EQ(samples, before);
  // The buffer as it was given back: the last chunk over the start of the
  // second one.
  ASSERT_EQ(rec.kept.size(), 4 * kChunk);
  const size_t last = samples.size() - 2 * kChunk;
  for (size_t slot : {size_t{0}, last - 1, last, kChunk - 1})
    EXPECT_EQ(be32(rec.kept, 4 * slot),
              static_cast<uint32_t>(samples[slot < last ? 2 * kChunk + slot : kChunk + slot]))
        << slot;
  const Bytes &b = w.bytes;
  ASSERT_EQ(b.size(), 834u + 4 * samples.size());
  EXPECT_EQ(be32(b, 72), 4 * samples.size());
  for (size_t i = 0; i < samples.size(); ++i)
    if (be32(b, 834 + 4 * i) != static_cast<uint32_t>(samples[i]))
      FAIL() << "sample " << i;
}

TEST(DataFileArrays, OnlyTheWindowsSamplesAreWritten) {
  int32_t samples[100];
  std::iota(samples, samples + 100, 1000);
  phase_matrix m{100, 0, 0, 5, 4, samples};
  Written w = write(nullptr, nullptr, nullptr, &m);
  ASSERT_EQ(w.result, 0);
  EXPECT_EQ(be32(w.bytes, 72), 80u);
  ASSERT_EQ(w.bytes.size(), 834u + 80u);
  EXPECT_EQ(be32(w.bytes, 834 + 76), 1019u);
}

TEST(DataFileFailures, NothingToWriteLeavesAnEmptyFile) {
  phase_matrix none{};
  intensity_matrix inone{};
  none.width = 3;
  none.height = 3;
  Written w = write(nullptr, nullptr, &inone, &none);
  EXPECT_EQ(w.result, ERR_INVALID_PARAM);
  EXPECT_TRUE(w.bytes.empty());
  EXPECT_EQ(write(nullptr, nullptr, nullptr, nullptr).result, ERR_INVALID_PARAM);
}

TEST(DataFileFailures, WindowsTheBuffersOrFieldsCannotHoldAreRefused) {
  int32_t samples[4] = {};
  phase_matrix small{4, 0, 0, 3, 3, samples};
  Written w = write(nullptr, nullptr, nullptr, &small);
  EXPECT_EQ(w.result, ERR_INVALID_PARAM);
  EXPECT_TRUE(w.bytes.empty());
  phase_matrix negative{4, 0, 0, -2, -2, samples};
  EXPECT_EQ(write(nullptr, nullptr, nullptr, &negative).result, ERR_INVALID_PARAM);
  uint16_t one = 0; // never read: 32767 x 32767 x 4 x 2 bytes do not fit intens_bytes
  intensity_matrix huge{UINT32_MAX, 0, 0, 32767, 32767, 4, 0, &one};
  EXPECT_EQ(write(nullptr, nullptr, &huge, nullptr).result, ERR_INVALID_PARAM);
}

TEST(DataFileFailures, OpenAndWriteFailuresHaveTheirCodes) {
  Phase p;
  TempDir dir;
  std::string missing = dir.file("no-such-folder/out.dat");
  EXPECT_EQ(write_data_file(missing.c_str(), nullptr, nullptr, nullptr, &p.m),
            ERR_CANT_CREATE_FILE);
  EXPECT_EQ(write_data_file(nullptr, nullptr, nullptr, nullptr, &p.m), ERR_CANT_CREATE_FILE);

  std::string existing = dir.file("read-only.dat");
  ferry::test::write_file(existing, {1, 2, 3});
  FILE *f = fopen(existing.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(write_data_stream(f, nullptr, nullptr, nullptr, &p.m), ERR_CANT_WRITE_FILE);
  uint16_t s[2] = {1, 2};
  EXPECT_EQ(write_samples16(s, 2, f), ERR_CANT_WRITE_FILE);
  fclose(f);
  EXPECT_EQ(read_file(existing), (Bytes{1, 2, 3}));
}

TEST(DataFileFailures, ALostFlushAtCloseIsAWriteFailure) {
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no device that refuses every write here";
  Phase p;
  EXPECT_EQ(write_data_file("/dev/full", nullptr, nullptr, nullptr, &p.m), ERR_CANT_WRITE_FILE);
}

TEST(DataFileStream, AppendsAfterWhatTheStreamHolds) {
  Phase p;
  TempDir dir;
  std::string path = dir.file("two.dat");
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write_data_stream(f, nullptr, nullptr, nullptr, &p.m), 0);
  ASSERT_EQ(write_data_stream(f, nullptr, nullptr, nullptr, &p.m), 0);
  fclose(f);
  Bytes b = read_file(path);
  ASSERT_EQ(b.size(), 2 * 882u);
  EXPECT_TRUE(std::equal(b.begin(), b.begin() + 882, b.begin() + 882));
}

TEST(DataFilePaths, Utf16PathsAfterEitherMark) {
  Phase p;
  TempDir dir;
  // Either mark announces the same host-order string.
  for (bool fe_ff : {false, true}) {
    std::filesystem::path target = dir.path() / (fe_ff ? u8"\u00e9-fe.dat" : u8"\u00e9-ff.dat");
    std::string text = fe_ff ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : target.u16string() + u'\0')
      text.append(reinterpret_cast<const char *>(&unit), sizeof unit);
    ASSERT_EQ(write_data_file(text.c_str(), nullptr, nullptr, nullptr, &p.m), 0);
    ASSERT_TRUE(std::filesystem::exists(target)) << (fe_ff ? "FE FF" : "FF FE");
    EXPECT_EQ(std::filesystem::file_size(target), 882u);
  }
}

TEST(DataFileMemory, EveryAllocationFailsCleanly) {
  uint16_t samples[6] = {1, 2, 3, 4, 5, 6};
  intensity_matrix im{6, 0, 0, 3, 1, 2, 0, samples};
  Phase p;
  TempDir dir;
  std::string path = dir.file("oom.dat");
  long n = expect_no_leak_under_oom(
      [&] { return write_data_file(path.c_str(), nullptr, nullptr, &im, &p.m); }, [] {});
  EXPECT_EQ(n, 2);

  FailingAllocator alloc;
  alloc.fail_at(2); // the phase copy: header and intensity array are already out
  EXPECT_EQ(write_data_file(path.c_str(), nullptr, nullptr, &im, &p.m), ERR_NO_MEM);
  EXPECT_EQ(read_file(path).size(), 834u + 12u);
  alloc.fail_at(1); // the chunk buffer, whatever the count
  EXPECT_EQ(write_samples16(samples, 0, nullptr), ERR_NO_MEM);

  // A phase array of several chunks fails where a copy of it would have:
  // after the header, before its first byte.
  std::vector<int32_t> big(300 * 500, 7);
  phase_matrix m{uint32_t(big.size()), 0, 0, 300, 500, big.data()};
  alloc.fail_at(1);
  EXPECT_EQ(write_data_file(path.c_str(), nullptr, nullptr, nullptr, &m), ERR_NO_MEM);
  EXPECT_EQ(read_file(path).size(), 834u);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST(SwapBytes, ReversesTwoFourOrEightBytes) {
  uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  u_swap_bytes(b, 2);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{2, 1, 3, 4, 5, 6, 7, 8}));
  u_swap_bytes(b, 4);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{4, 3, 1, 2, 5, 6, 7, 8}));
  u_swap_bytes(b, 8);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{8, 7, 6, 5, 2, 1, 3, 4}));
}

TEST(SwapBytesDeathTest, OtherWidthsReportAndAbort) {
  uint8_t b[8] = {};
  EXPECT_DEATH(u_swap_bytes(b, 3), "u_swap_bytes: n=3\n");
}
