// The window and matrix dump printers, byte for byte, and their checksum.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "datafile/matrix.h"
#include "support/test_support.h"

using ferry::test::capture_stream;

namespace {

std::string address_line(const char *format, const void *p) {
  char text[64];
  snprintf(text, sizeof text, format,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu));
  return text;
}

const std::string kWindowLines = "x      =   -2\n"
                                 "y      =    3\n"
                                 "width  =    2\n"
                                 "height =    1\n";

} // namespace

TEST(DumpCrc, ReflectedPolynomialWithoutInversion) {
  EXPECT_EQ(dump_crc32("abc", 3), 0xCA6598D0u);
  EXPECT_EQ(dump_crc32("", 0), 0u);
}

TEST(MatrixDump, MissingDescriptorPrintsNullOnly) {
  EXPECT_EQ(capture_stream([](FILE *f) { matrix16_dump(f, nullptr); }), "NULL\n");
  EXPECT_EQ(capture_stream([](FILE *f) { matrix32_dump(f, nullptr); }), "NULL\n");
  EXPECT_EQ(capture_stream([](FILE *f) { mask_matrix_dump(f, nullptr); }), "NULL\n");
  EXPECT_EQ(capture_stream([](FILE *f) { bucket_matrix_dump(f, nullptr); }), "NULL\n");
}

TEST(MatrixDump, WindowAndSixteenBitLinesWithChecksum) {
  window w{-2, 3, 2, 1};
  EXPECT_EQ(capture_stream([&](FILE *f) { window_dump(f, &w); }), kWindowLines);

  uint16_t samples[3] = {0x6261, 0x0063, 0xFFFF}; // the third lies outside the window
  matrix16 m{3, -2, 3, 2, 1, samples};
  const std::string expected = "size   = 3\n" + kWindowLines +
                               address_line("matrix = 0x%8.8X\n", samples) + "crc    = 0x" + [&] {
                                 char t[16];
                                 snprintf(t, sizeof t, "%8.8X\n", dump_crc32(samples, 4));
                                 return std::string(t);
                               }();
  EXPECT_EQ(capture_stream([&](FILE *f) { matrix16_dump(f, &m); }), expected);
  intensity_matrix im{3, -2, 3, 2, 1, 5, 0, samples};
  EXPECT_EQ(capture_stream([&](FILE *f) { intensity_matrix_dump(f, &im); }), expected);

  matrix32 empty{0, -2, 3, 2, 1, nullptr}; // no buffer: no checksum line
  EXPECT_EQ(capture_stream([&](FILE *f) { matrix32_dump(f, &empty); }),
            "size   = 0\n" + kWindowLines + "matrix = 0x00000000\n");
}

TEST(MatrixDump, MaskPrintsBitsWithoutChecksum) {
  uint8_t bytes[4] = {};
  mask_matrix m{4, -2, 3, 2, 1, 0x05, bytes};
  EXPECT_EQ(capture_stream([&](FILE *f) { mask_matrix_dump(f, &m); }),
            "size = 4\n" + kWindowLines + address_line("matrix = 0x%8.8X\n", bytes) +
                "bits = 0x05\n");
}

TEST(MatrixDump, BucketChecksumIsTheSameInBothForms) {
  const window w{0, 0, 4, 3}; // blocks of 12 bytes stored as 16
  std::string dumps[2];
  for (bool separate : {false, true}) {
    bucket_matrix b{};
    b.separate_blocks = separate;
    ASSERT_EQ(bucket_matrix_alloc(&b, &w, 2, 1, 1), 0);
    for (int i = 0; i < 2; ++i)
      for (int k = 0; k < 16; ++k)
        b.blocks[i][k] = static_cast<uint8_t>(i * 16 + k);
    std::string text = capture_stream([&](FILE *f) { bucket_matrix_dump(f, &b); });
    char crc[32];
    uint8_t expected_bytes[24]; // block 0 whole, then the start of block 1
    for (int k = 0; k < 24; ++k)
      expected_bytes[k] = static_cast<uint8_t>(k);
    snprintf(crc, sizeof crc, "crc    = 0x%8.8X\n", dump_crc32(expected_bytes, 24));
    const std::string head = "alloc_size       = 32\n"
                             "[ alloc_win\n"
                             "x      =    0\ny      =    0\nwidth  =    4\nheight =    4\n"
                             "] alloc_win\n"
                             "alloc_blocks     = 2\n"
                             "alloc_blocksize  = 16\n"
                             "alloc_elem_size  = 1\n"
                             "elem_size        = 1\n"
                             "elem_res         = 1\n"
                             "size             = 24\n"
                             "blocksize        = 12\n"
                             "n_blocks         = 2\n"
                             "[ window\n"
                             "x      =    0\ny      =    0\nwidth  =    4\nheight =    3\n"
                             "] window\n"
                             "[ stored\n"
                             "x      =    0\ny      =    0\nwidth  =    4\nheight =    4\n"
                             "] stored\n";
    EXPECT_EQ(text, head + address_line("matrix           = 0x%8.8X\n", b.matrix) +
                        "qsize            = 2\nn_buckets        = 2\n" + crc);
    dumps[separate] = text.substr(text.find("crc"));
    bucket_matrix_free(&b);
  }
  EXPECT_EQ(dumps[0], dumps[1]);
}
