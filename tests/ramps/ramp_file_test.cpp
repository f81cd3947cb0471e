#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "ramp_fixtures.h"
#include "ramps/ramp_file.h"
#include "support/test_support.h"

namespace {

using namespace ferry::test;

struct Samples {
  uint16_t *p = nullptr;
  ~Samples() { ferry::hook_free(p); }
};

TEST(RampFile, WriteThenReadGivesTheSameRamp) {
  TempDir dir;
  rr_ramp_hdr_t h = swli_header(37);
  h.magicNumber = 0; // the writer sets it; the caller's header stays as it is
  h.rampTriple[1] = -2.5f;
  h.wavelenSelect = 3;
  h.objMag = 20;
  std::memset(h.spare, 0x5A, sizeof h.spare);
  const auto samples = linear_samples(37, 65000, -1700);
  const rr_ramp_hdr_t before = h;
  ASSERT_EQ(rr_write_ramp_file(dir.file("r").c_str(), &h, samples.data()), 0);
  EXPECT_EQ(std::memcmp(&h, &before, sizeof h), 0);

  rr_ramp_hdr_t back;
  Samples got;
  ASSERT_EQ(rr_read_ramp_file(dir.file("r").c_str(), &back, &got.p), 0);
  h.magicNumber = RR_RAMP_MAGIC;
  EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);
  ASSERT_NE(got.p, nullptr);
  EXPECT_EQ(std::vector<uint16_t>(got.p, got.p + 37), samples);

  // Without a place for the samples only the header is read.
  rr_ramp_hdr_t only;
  EXPECT_EQ(rr_read_ramp_file(dir.file("r").c_str(), &only, nullptr), 0);
  EXPECT_EQ(only.nPoints, 37);
}

TEST(RampFile, ByteLayoutIsBigEndianUpToByte167) {
  TempDir dir;
  rr_ramp_hdr_t h = swli_header(3);
  h.wavelenSelect = 0x01020304;
  h.fringesPerFrame = 0.75f;
  const std::vector<uint16_t> samples = {0x1234, 0xABCD, 0x0001};
  ASSERT_EQ(rr_write_ramp_file(dir.file("r").c_str(), &h, samples.data()), 0);
  const auto bytes = read_file(dir.file("r"));
  ASSERT_EQ(bytes.size(), 328u + 6u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RAMQ");
  EXPECT_EQ(bytes, ramp_file_bytes(h, samples));
  // Spot checks independent of the fixture's encoder.
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 16, bytes.begin() + 20)),
            (std::vector<uint8_t>{0, 0, 0, 3})); // nPoints
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 36, bytes.begin() + 40)),
            (std::vector<uint8_t>{0x41, 0x20, 0, 0})); // sampleClkFreq 10.0f
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 160, bytes.begin() + 164)),
            (std::vector<uint8_t>{0x3F, 0x80, 0, 0})); // scanCal 1.0f
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 168, bytes.begin() + 172)),
            (std::vector<uint8_t>{0, 0, 0x40, 0x3F})); // fringesPerFrame, little-endian
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 176, bytes.begin() + 180)),
            (std::vector<uint8_t>{4, 3, 2, 1})); // wavelenSelect, little-endian
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 328, bytes.end())),
            (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01}));
}

TEST(RampFile, SwapTouchesTheFirst42WordsOnly) {
  rr_ramp_hdr_t h = swli_header();
  h.scanCal = 1.0f;
  h.fringesPerFrame = 1.0f;
  rr_ramp_hdr_t swapped = h;
  rr_swap_ramp_hdr(&swapped);
  uint8_t b[RR_RAMP_HDR_SIZE];
  std::memcpy(b, &swapped, sizeof b);
  EXPECT_EQ((std::vector<uint8_t>(b + 160, b + 164)), (std::vector<uint8_t>{0x3F, 0x80, 0, 0}));
  EXPECT_EQ((std::vector<uint8_t>(b + 168, b + 172)), (std::vector<uint8_t>{0, 0, 0x80, 0x3F}));
  rr_swap_ramp_hdr(&swapped);
  EXPECT_EQ(std::memcmp(&swapped, &h, sizeof h), 0);
  rr_swap_ramp_hdr(nullptr);
}

TEST(RampFile, BadFilesAreRefused) {
  TempDir dir;
  rr_ramp_hdr_t h = swli_header(50);
  auto good = ramp_file_bytes(h, linear_samples(50));
  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
    u_err_t result;
  } cases[] = {
      {"three", {'R', 'A', 'M'}, ERR_PREMATURE_EOF},
      {"magic", {'R', 'A', 'M', 'P', 0, 0, 0, 0}, ERR_NOT_A_RAMP_FILE},
      {"short_header", std::vector<uint8_t>(good.begin(), good.begin() + 200), ERR_PREMATURE_EOF},
      {"few_samples", std::vector<uint8_t>(good.begin(), good.end() - 1), ERR_CORRUPT_RAMP_FILE},
      {"empty", {}, ERR_PREMATURE_EOF},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir.file(c.name), c.bytes);
    FailingAllocator alloc;
    rr_ramp_hdr_t got;
    Samples s;
    s.p = static_cast<uint16_t *>(u_malloc_hook(8)); // a stale buffer is released
    EXPECT_EQ(rr_read_ramp_file(dir.file(c.name).c_str(), &got, &s.p), c.result);
    EXPECT_EQ(s.p, nullptr);
    EXPECT_EQ(alloc.live_blocks(), 0);
  }
  rr_ramp_hdr_t got;
  EXPECT_EQ(rr_read_ramp_file(dir.file("none").c_str(), &got, nullptr), ERR_CANT_OPEN_FILE);
  // A folder is no file to open, on every system.
  EXPECT_EQ(rr_read_ramp_file(dir.path().string().c_str(), &got, nullptr), ERR_CANT_OPEN_FILE);
  EXPECT_EQ(rr_read_ramp_file(dir.file("three").c_str(), nullptr, nullptr), ERR_INVALID_PARAM);
}

TEST(RampFile, UntrustedPointCounts) {
  TempDir dir;
  rr_ramp_hdr_t h = swli_header(0);
  write_file(dir.file("zero"), ramp_file_bytes(h, {}));
  rr_ramp_hdr_t got;
  Samples s;
  EXPECT_EQ(rr_read_ramp_file(dir.file("zero").c_str(), &got, &s.p), 0);
  EXPECT_EQ(s.p, nullptr);

  // A count the file can't hold is refused before anything is allocated.
  for (int32_t n : {INT_MAX, 1 << 30, 11}) {
    h.nPoints = n;
    write_file(dir.file("huge"), ramp_file_bytes(h, linear_samples(10)));
    FailingAllocator alloc;
    EXPECT_EQ(rr_read_ramp_file(dir.file("huge").c_str(), &got, &s.p), ERR_CORRUPT_RAMP_FILE);
    EXPECT_EQ(alloc.allocations(), 0);
    EXPECT_EQ(s.p, nullptr);
  }
  h.nPoints = -5;
  write_file(dir.file("negative"), ramp_file_bytes(h, {}));
  EXPECT_EQ(rr_read_ramp_file(dir.file("negative").c_str(), &got, &s.p), 0);
  EXPECT_EQ(s.p, nullptr);
}

TEST(RampFile, WriterFailures) {
  TempDir dir;
  rr_ramp_hdr_t h = swli_header(4);
  const auto samples = linear_samples(4);
  EXPECT_EQ(rr_write_ramp_file(dir.file("x").c_str(), &h, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(rr_write_ramp_file(dir.file("no/such/dir/x").c_str(), &h, samples.data()),
            ERR_CANT_CREATE_FILE);
  h.nPoints = 0;
  EXPECT_EQ(rr_write_ramp_file(dir.file("empty").c_str(), &h, samples.data()), 0);
  EXPECT_EQ(read_file(dir.file("empty")).size(), 328u);
}

TEST(RampFile, ReadAndWriteUnderOutOfMemory) {
  TempDir dir;
  rr_ramp_hdr_t h = swli_header(64);
  const auto samples = linear_samples(64);
  const std::string path = dir.file("r");
  expect_no_leak_under_oom([&] { return rr_write_ramp_file(path.c_str(), &h, samples.data()); },
                           [] {});
  uint16_t *got = nullptr;
  rr_ramp_hdr_t back;
  long allocations = expect_no_leak_under_oom(
      [&] {
        u_err_t err = rr_read_ramp_file(path.c_str(), &back, &got);
        EXPECT_EQ(err == 0, got != nullptr);
        return err;
      },
      [&] { ferry::hook_free(got); });
  EXPECT_EQ(allocations, 1);
}

TEST(RampFile, Listing) {
  rr_ramp_hdr_t h = swli_header(12);
  h.rampTriple[1] = 1.5f;
  const auto samples = linear_samples(12, 0, 1);
  const std::string text =
      capture_stream([&](FILE *f) { rr_print_ramp(f, &h, samples.data(), 0); });
  EXPECT_NE(text.find("#   1-  4  magicNumber        = 1380011345\n"
                      "#   5-  8  rampType           = 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("#  37- 40  sampleClkFreq      = 10\n"), std::string::npos);
  EXPECT_NE(text.find("#  73- 76  rampTriple[1]      = 1.5\n"), std::string::npos);
  EXPECT_NE(text.find("#  85- 88  polar              = b\n"), std::string::npos);
  EXPECT_NE(text.find("# 161-164  scanCal            = 1\n"
                      "# 169-172  fringesPerFrame    = 0.25\n"
                      "# 173-176  objMag             = 0\n"
                      "# 177-180  wavelenSelect      = 0\n"
                      "# 197-328  spare             \n"
                      "# sizeof rr_ramp_hdr_t = 328\n"
                      "0  \n1  2  3  4  5  6  7  8  9  10  \n11  \n"),
            std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 44 + 2 + 3);

  const std::string one = capture_stream([&](FILE *f) { rr_print_ramp(f, &h, samples.data(), 1); });
  EXPECT_NE(one.find("# sizeof rr_ramp_hdr_t = 328\n0\n1\n2\n"), std::string::npos);
  EXPECT_EQ(one.substr(one.size() - 3), "11\n");
  const std::string none = capture_stream([&](FILE *f) { rr_print_ramp(f, &h, nullptr, 0); });
  EXPECT_EQ(none.substr(none.size() - 29), "# sizeof rr_ramp_hdr_t = 328\n");
}

TEST(StdRampName, NamesByType) {
  const char *name = nullptr;
  rr_ramp_hdr_t h = swli_header();
  ASSERT_EQ(rr_get_std_ramp_filename(&h, &name), 0);
  EXPECT_STREQ(name, "d10s81c25.b12345");
  h.rampType = RR_TYPE_BTW;
  h.objMag = 50.7f;
  h.grabSkip = 1;
  h.cameraRate = 25;
  ASSERT_EQ(rr_get_std_ramp_filename(&h, &name), 0);
  EXPECT_STREQ(name, "d10s81c13m50.b12345"); // 12.5 rounds up

  rr_ramp_hdr_t p = pmi_header(5);
  p.cameraRate = 30;
  p.grabSkip = 1;
  p.rampType = 4;
  ASSERT_EQ(rr_get_std_ramp_filename(&p, &name), 0);
  EXPECT_STREQ(name, "p5c15.p777");
  p.rampMux = 1;
  ASSERT_EQ(rr_get_std_ramp_filename(&p, &name), 0);
  EXPECT_STREQ(name, "p5c15.q777");

  MessageCapture capture;
  p.rampType = 16;
  EXPECT_EQ(rr_get_std_ramp_filename(&p, &name), ERR_INVALID_PARAM);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(capture.text(), "rr_get_std_ramp_filename: unsupported ramp type 16");
  // Untrusted values never reach an int unchecked.
  h.grabSkip = -1;
  h.scanLen = 1e30f;
  EXPECT_EQ(rr_get_std_ramp_filename(&h, &name), 0);
  EXPECT_STREQ(name, "d2147483647s81c2147483647m50.b12345");
}

} // namespace
