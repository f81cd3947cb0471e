#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <string>

#include "datafile/dump_printers.h"
#include "support/test_support.h"

namespace {

using ferry::test::capture_stream;

// Counts the lines of a dump.
size_t line_count(const std::string &text) {
  size_t n = 0;
  for (char c : text)
    n += c == '\n';
  return n;
}

// Line i (0-based) of a dump, with its line end.
std::string line_of(const std::string &text, size_t i) {
  size_t start = 0;
  for (; i > 0; --i)
    start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start + 1);
}

TEST(DumpPrinters, MissingRecordsPrintNull) {
  const std::string null_line = "NULL\n";
  EXPECT_EQ(capture_stream([](FILE *f) { acquire_params_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { analysis_params_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { surface_fit_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { fit_terms_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { profile_fit_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { stats_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { coef_set_dump(f, nullptr); }), null_line);
  EXPECT_EQ(capture_stream([](FILE *f) { value_pairs_dump(f, nullptr); }), null_line);
}

TEST(DumpPrinters, MissingTableAndFiducialFitPrintNothing) {
  EXPECT_EQ(capture_stream([](FILE *f) { coef_table_dump(f, nullptr); }), "");
  EXPECT_EQ(capture_stream([](FILE *f) { fiducial_fit_dump(f, nullptr); }), "");
}

TEST(DumpPrinters, MissingArraysPrintNothing) {
  int32_t printed = -1;
  EXPECT_EQ(capture_stream([&](FILE *f) { printed = regions_dump(f, nullptr, 3); }), "");
  EXPECT_EQ(printed, 0);
  EXPECT_EQ(capture_stream([&](FILE *f) { printed = bytes_dump(f, nullptr, 3, 1); }), "");
  EXPECT_EQ(printed, 0);
}

TEST(DumpPrinters, AcquisitionParameters) {
  acquire_params p{};
  p.mask = 0x1234;
  p.n_buckets = 5;
  p.ramp_mux = -3;
  p.ramp_cal = 200;
  p.ramp_gain = 12;
  p.ramp_gain_dflt = 10;
  p.sfac_limit = 7;
  p.target_intens = 0.5;
  p.target_range = 12.3456;
  p.sw_llc = 1;
  p.light_level = -40;
  p.min_mod = 3;
  p.min_mod_count = 100;
  p.n_sat_skip = 2;
  p.n_bright_skip = 0;
  p.do_avg = 1;
  p.avg_count = 4;
  p.avg_keep_sat = 0;
  p.awm_enable = 255;
  EXPECT_EQ(capture_stream([&](FILE *f) { acquire_params_dump(f, &p); }),
            "mask           = 0x001234\n"
            "n_buckets      = 5\n"
            "ramp_mux       = -3\n"
            "ramp_cal       = 200\n"
            "ramp_gain      = 12\n"
            "ramp_gain_dflt = 10\n"
            "sfac_limit     = 7\n"
            "target_intens  = 0.500\n"
            "target_range   = 12.346\n"
            "sw_llc         = 1\n"
            "light_level    = -40\n"
            "min_mod        = 3\n"
            "min_mod_count  = 100\n"
            "n_sat_skip     = 2\n"
            "n_bright_skip  = 0\n"
            "do_avg         = 1\n"
            "avg_count      = 4\n"
            "avg_keep_sat   = 0\n"
            "awm_enable     = 255\n");
}

analysis_params sample_analysis() {
  analysis_params p{};
  p.algorithm = -1;
  p.type = 2;
  p.phase_res = 1;
  p.min_area_pixels = 10;
  p.max_area_pixels = 5000;
  p.pre_filter = 1.0f;
  p.discon_action = 3;
  p.discon_filter = 0.25f;
  p.noise_thresh = -2.5f;
  p.order_by_size = 1;
  return p;
}

const char *const analysis_lines = "algorithm       = -1\n"
                                   "type            = 2\n"
                                   "phase_res       = HI (1)\n"
                                   "min_area_pixels = 10\n"
                                   "max_area_pixels = 5000\n"
                                   "pre_filter      = 1 (0x3F800000)\n"
                                   "discon_action   = 3\n"
                                   "discon_filter   = 0.25 (0x3E800000)\n"
                                   "noise_thresh    = -2.5 (0xC0200000)\n"
                                   "order_by_size   = 1\n";

TEST(DumpPrinters, AnalysisParametersWithoutMask) {
  analysis_params p = sample_analysis();
  EXPECT_EQ(capture_stream([&](FILE *f) { analysis_params_dump(f, &p); }),
            std::string(analysis_lines) + "ref_mask:[\nNULL\n]\n");
}

TEST(DumpPrinters, AnalysisParametersNestTheMaskDump) {
  mask_matrix mask{};
  mask.size = 0;
  mask.x = 1;
  mask.y = -2;
  mask.width = 30;
  mask.height = 400;
  mask.bits = 0x0f;
  analysis_params p = sample_analysis();
  p.ref_mask = &mask;
  EXPECT_EQ(capture_stream([&](FILE *f) { analysis_params_dump(f, &p); }),
            std::string(analysis_lines) + "ref_mask:[\n"
                                          "size = 0\n"
                                          "x      =    1\n"
                                          "y      =   -2\n"
                                          "width  =   30\n"
                                          "height =  400\n"
                                          "matrix = 0x00000000\n"
                                          "bits = 0x0f\n"
                                          "]\n");
}

TEST(DumpPrinters, SurfaceFit) {
  surface_fit s{2, 1.5, -0.25, 100, 3.14159, -12345.6789, 0, 2.5, -7, 300};
  EXPECT_EQ(capture_stream([&](FILE *f) { surface_fit_dump(f, &s); }), "type      =     sphere\n"
                                                                       "offset    =     1.5000\n"
                                                                       "x_coef    =    -0.2500\n"
                                                                       "y_coef    =   100.0000\n"
                                                                       "x2y2_coef =     3.1416\n"
                                                                       "xy_coef   = -12345.6789\n"
                                                                       "x2_coef   =     0.0000\n"
                                                                       "y2_coef   =     2.5000\n"
                                                                       "center_x  =         -7\n"
                                                                       "center_y  =        300\n");
}

TEST(DumpPrinters, FitTypesHaveTheirNames) {
  auto surface_type = [](int32_t type) {
    surface_fit s{};
    s.type = type;
    return line_of(capture_stream([&](FILE *f) { surface_fit_dump(f, &s); }), 0);
  };
  EXPECT_EQ(surface_type(0), "type      =     piston\n");
  EXPECT_EQ(surface_type(1), "type      =      plane\n");
  EXPECT_EQ(surface_type(3), "type      =   cylinder\n");
  EXPECT_EQ(surface_type(7), "type      =    unknown\n");
  EXPECT_EQ(surface_type(-1), "type      =    unknown\n");

  auto profile_type = [](int32_t type) {
    profile_fit p{};
    p.type = type;
    return line_of(capture_stream([&](FILE *f) { profile_fit_dump(f, &p); }), 0);
  };
  EXPECT_EQ(profile_type(0), "type      =     piston\n");
  EXPECT_EQ(profile_type(1), "type      =       line\n");
  EXPECT_EQ(profile_type(2), "type      =   parabola\n");
  EXPECT_EQ(profile_type(3), "type      =    unknown\n");
}

TEST(DumpPrinters, FitTerms) {
  fit_terms t{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, -14};
  EXPECT_EQ(capture_stream([&](FILE *f) { fit_terms_dump(f, &t); }),
            "pst_offset    =     1.0000\n"
            "pln_offset    =     2.0000\n"
            "pln_x_coef    =     3.0000\n"
            "pln_y_coef    =     4.0000\n"
            "sph_offset    =     5.0000\n"
            "sph_x_coef    =     6.0000\n"
            "sph_y_coef    =     7.0000\n"
            "sph_x2y2_coef =     8.0000\n"
            "cyl_offset    =     9.0000\n"
            "cyl_x_coef    =    10.0000\n"
            "cyl_y_coef    =    11.0000\n"
            "cyl_xy_coef   =    12.0000\n"
            "cyl_x2_coef   =    13.0000\n"
            "cyl_y2_coef   =   -14.0000\n");
}

TEST(DumpPrinters, ProfileFit) {
  profile_fit p{1, 0.5, -1.25, 2, 3, 4, 10, 20, 30, 40, 50, 60, -70, 80, 123456, 7};
  EXPECT_EQ(capture_stream([&](FILE *f) { profile_fit_dump(f, &p); }), "type      =       line\n"
                                                                       "offset    =     0.5000\n"
                                                                       "x_coef    =    -1.2500\n"
                                                                       "x2_coef   =     2.0000\n"
                                                                       "x3_coef   =     3.0000\n"
                                                                       "x4_coef   =     4.0000\n"
                                                                       "x0        =         10\n"
                                                                       "y0        =         20\n"
                                                                       "x1        =         30\n"
                                                                       "y1        =         40\n"
                                                                       "x2        =         50\n"
                                                                       "y2        =         60\n"
                                                                       "xn        =        -70\n"
                                                                       "yn        =         80\n"
                                                                       "length    =     123456\n"
                                                                       "npoints   =          7\n");
}

TEST(DumpPrinters, Statistics) {
  stats s{1234, 600, -634, 0.5, 3, 4, 5, 6, 99999};
  EXPECT_EQ(capture_stream([&](FILE *f) { stats_dump(f, &s); }), "pv       =     1234\n"
                                                                 "peak     =      600\n"
                                                                 "valley   =     -634\n"
                                                                 "mean     =      0.5\n"
                                                                 "peak_x   =        3\n"
                                                                 "peak_y   =        4\n"
                                                                 "valley_x =        5\n"
                                                                 "valley_y =        6\n"
                                                                 "npoints  =    99999\n");
}

TEST(DumpPrinters, CoefficientSetPrintsOnlyTheCoefficientsInUse) {
  coef_set c{};
  c.count = 3;
  c.coefs[0] = 1.25;
  c.coefs[1] = -2;
  c.coefs[2] = 1000.5;
  c.coefs[3] = 99;
  c.center_x = 5;
  c.center_y = -12;
  c.radius2 = 400;
  EXPECT_EQ(capture_stream([&](FILE *f) { coef_set_dump(f, &c); }), "coef[ 0] =     1.2500\n"
                                                                    "coef[ 1] =    -2.0000\n"
                                                                    "coef[ 2] =  1000.5000\n"
                                                                    "center_x =   5\n"
                                                                    "center_y = -12\n"
                                                                    "radius2  = 400\n");
}

TEST(DumpPrinters, CoefficientSetCountIsHeldToTheArray) {
  coef_set c{};
  c.count = 1000;
  std::string all = capture_stream([&](FILE *f) { coef_set_dump(f, &c); });
  EXPECT_EQ(line_count(all), 37u + 3u);
  EXPECT_EQ(line_of(all, 36), "coef[36] =     0.0000\n");
  c.count = -4;
  EXPECT_EQ(line_count(capture_stream([&](FILE *f) { coef_set_dump(f, &c); })), 3u);
}

TEST(DumpPrinters, ValuePairsMarkMissingValuesWithAsterisks) {
  list8 pairs{};
  ASSERT_EQ(list8_resize(&pairs, 3, false), 0);
  pairs.data[0] = {1.5f, FLT_MAX};
  pairs.data[1] = {FLT_MAX, -2.25f};
  pairs.data[2] = {HUGE_VALF, 0.0f};
  EXPECT_EQ(capture_stream([&](FILE *f) { value_pairs_dump(f, &pairs); }),
            "              1.5000     ********************\n"
            "********************                  -2.2500\n"
            "********************                   0.0000\n");
  ASSERT_EQ(list8_resize(&pairs, 1, true), 0);
  EXPECT_EQ(capture_stream([&](FILE *f) { value_pairs_dump(f, &pairs); }),
            "              1.5000     ********************\n")
      << "only count pairs are printed";
  list8_free(&pairs);
}

TEST(DumpPrinters, ValuePairsWithoutBufferPrintNothing) {
  list8 pairs{};
  pairs.count = 4;
  EXPECT_EQ(capture_stream([&](FILE *f) { value_pairs_dump(f, &pairs); }), "");
}

TEST(DumpPrinters, RegionsFortyBytesApart) {
  static_assert(sizeof(region_info) == 40);
  region_info r[2]{};
  r[0].npoints = 1234;
  r[0].region = 7;
  r[0].dist = 3;
  r[0].xmin = 1;
  r[0].ymin = 2;
  r[0].xmax = 30;
  r[0].ymax = 40;
  r[1].npoints = 5;
  r[1].region = 1000;
  r[1].dist = 65535;
  r[1].xmin = -1;
  int32_t printed = 0;
  EXPECT_EQ(capture_stream([&](FILE *f) { printed = regions_dump(f, r, 2); }),
            "region=  7  npoints= 1234  xmin=  1  ymin=  2  xmax= 30  ymax= 40  dist=  3\n"
            "region=1000  npoints=    5  xmin= -1  ymin=  0  xmax=  0  ymax=  0  dist=65535\n");
  EXPECT_EQ(printed, 2);
}

TEST(DumpPrinters, CoefficientTableRowsReadAcrossTheColumns) {
  coef_table t{};
  for (int col = 0; col < COEF_TABLE_COLUMNS; ++col)
    for (int row = 0; row < COEF_TABLE_ROWS; ++row)
      t.columns[col][row] = col * 100 + row + 0.5;
  t.unity = 1;
  static_assert(sizeof(coef_table) == 121 * sizeof(double));
  std::string text = capture_stream([&](FILE *f) { coef_table_dump(f, &t); });
  EXPECT_EQ(line_count(text), 31u);
  EXPECT_EQ(line_of(text, 0), "unity  =      1\n");
  EXPECT_EQ(line_of(text, 1), " 0      0.5000   100.5000   200.5000   300.5000\n");
  EXPECT_EQ(line_of(text, 2), " 1      1.5000   101.5000   201.5000   301.5000\n");
  EXPECT_EQ(line_of(text, 30), "29     29.5000   129.5000   229.5000   329.5000\n");
}

TEST(DumpPrinters, FiducialFit) {
  fiducial_fit fit{0.5, -1e-7, 1, 2, 3, 4, 123456789, 0, 0.001, 2.5, 4};
  EXPECT_EQ(capture_stream([&](FILE *f) { fiducial_fit_dump(f, &fit); }), "Asin  = 0.5\n"
                                                                          "Acos  = -1e-07\n"
                                                                          "r1    = 1\n"
                                                                          "r2    = 2\n"
                                                                          "r3    = 3\n"
                                                                          "r4    = 4\n"
                                                                          "xoff  = 1.23457e+08\n"
                                                                          "yoff  = 0\n"
                                                                          "pverr = 0.001\n"
                                                                          "rmserr= 2.5\n"
                                                                          "nfids = 4\n");
}

std::string dump_bytes(std::initializer_list<unsigned char> bytes, int32_t notation,
                       int32_t *printed = nullptr) {
  std::vector<unsigned char> v(bytes);
  return capture_stream([&](FILE *f) {
    int32_t n = bytes_dump(f, v.data(), static_cast<int32_t>(v.size()), notation);
    if (printed)
      *printed = n;
  });
}

TEST(DumpPrinters, BytesTenToALine) {
  int32_t printed = 0;
  EXPECT_EQ(dump_bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, BYTES_HEX, &printed),
            "    0 00 01 02 03 04 05 06 07 08 09\n"
            "   10 0a 0b\n");
  EXPECT_EQ(printed, 12);
  EXPECT_EQ(dump_bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, BYTES_HEX),
            "    0 00 01 02 03 04 05 06 07 08 09\n")
      << "a full last line ends once";
  EXPECT_EQ(dump_bytes({}, BYTES_HEX, &printed), "");
  EXPECT_EQ(printed, 0);
}

TEST(DumpPrinters, BytesInEveryNotation) {
  EXPECT_EQ(dump_bytes({0, 255, 7}, BYTES_DECIMAL), "    0   0 255   7\n");
  EXPECT_EQ(dump_bytes({8, 255}, BYTES_OCTAL), "    0 010 377\n");
  EXPECT_EQ(dump_bytes({0xA5, 0x01}, BYTES_BINARY), "    0 10100101 00000001\n");
  EXPECT_EQ(dump_bytes({1, 2}, 9), "    0\n") << "unknown notations print no cells";
  EXPECT_EQ(dump_bytes({1, 2}, -1), "    0\n");
}

TEST(DumpPrinters, LinesAreFlushedAsTheyArePrinted) {
  ferry::test::TempDir dir;
  std::string path = dir.file("dump.txt");
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  static char buffer[1 << 16];
  std::setvbuf(f, buffer, _IOFBF, sizeof buffer);
  stats s{1, 2, 3, 4.0, 5, 6, 7, 8, 9};
  stats_dump(f, &s);
  EXPECT_EQ(line_count(ferry::test::read_text(path)), 9u) << "stats lines still buffered";
  unsigned char bytes[3] = {1, 2, 3};
  bytes_dump(f, bytes, 3, BYTES_DECIMAL);
  EXPECT_EQ(line_count(ferry::test::read_text(path)), 10u) << "byte dump line still buffered";
  std::fclose(f);
}

TEST(TextImages, PhaseResolutionNames) {
  EXPECT_STREQ(phase_res_name(0), "LO (0)");
  EXPECT_STREQ(phase_res_name(1), "HI (1)");
  EXPECT_STREQ(phase_res_name(2), "SUPER (2)");
  EXPECT_STREQ(phase_res_name(5), "UNKNOWN (5)");
  EXPECT_STREQ(phase_res_name(-1), "UNKNOWN (-1)");
}

TEST(TextImages, HexImageWalksByItsStep) {
  const unsigned char bytes[5] = {0x01, 0xAB, 0xFF, 0x10, 0x7E};
  EXPECT_STREQ(hex_image(bytes, 3, 1), "0x01ABFF");
  EXPECT_STREQ(hex_image(bytes + 4, 5, -1), "0x7E10FFAB01");
  EXPECT_STREQ(hex_image(bytes, 3, 2), "0x01FF7E");
  EXPECT_STREQ(hex_image(bytes, 0, 1), "0x");
}

TEST(TextImages, HexImageHoldsAtMostFortyEightBytes) {
  unsigned char bytes[49];
  for (int i = 0; i < 49; ++i)
    bytes[i] = static_cast<unsigned char>(0xC0 + (i % 16));
  std::string full = hex_image(bytes, 48, 1);
  EXPECT_EQ(full.size(), 2u + 96u);
  EXPECT_EQ(full.substr(0, 6), "0xC0C1");
  EXPECT_EQ(full.substr(94), "CECF");
  EXPECT_STREQ(hex_image(bytes, 49, 1), "0x*");
}

TEST(TextImages, FloatingPointImagesStartAtTheMostSignificantByte) {
  EXPECT_STREQ(float_hex_image(1.0f), "0x3F800000");
  EXPECT_STREQ(float_hex_image(FLT_MAX), "0x7F7FFFFF");
  EXPECT_STREQ(float_hex_image(-2.5f), "0xC0200000");
  EXPECT_STREQ(double_hex_image(1.0), "0x3FF0000000000000");
  EXPECT_STREQ(double_hex_image(-2.0), "0xC000000000000000");
  EXPECT_STREQ(double_hex_image(HUGE_VAL), "0x7FF0000000000000");
}

} // namespace
