// The phase map picture: colours of valid and invalid samples, the
// picture's geometry and zoom, its PNG file decoded again by the system,
// and its failures.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/image.h"
#include "support/test_support.h"
#include "tool/ferryinfo/phase_picture.h"

using ferry::info::draw_phase_map;
using ferry::info::kInvalidColour;
using ferry::info::Picture;
using ferry::info::Rgb;
using ferry::info::sample_colour;
using ferry::info::scale_colour;
using ferry::info::write_phase_png;
using ferry::test::expect_no_leak_under_oom;
using ferry::test::TempDir;

namespace {

Rgb pixel(const Picture &p, uint32_t x, uint32_t y) {
  const uint8_t *at = p.rgb.get() + (size_t(y) * p.width + x) * 3;
  return {at[0], at[1], at[2]};
}

int brightness(Rgb c) {
  return 299 * c.red + 587 * c.green + 114 * c.blue;
}

TEST(PhaseColours, InvalidSamplesHaveTheirOwnColour) {
  for (int32_t invalid : {PHASE_INVALID, PHASE_INVALID + 3, INT32_MAX})
    EXPECT_EQ(sample_colour(invalid, -100, 100), kInvalidColour) << invalid;
  // No position of the scale takes the invalid colour, and the scale
  // grows brighter from the minimum to the maximum, so it reads in grey.
  int previous = -1;
  for (int i = 0; i <= 100; ++i) {
    const Rgb c = scale_colour(i / 100.0);
    EXPECT_NE(c, kInvalidColour) << i;
    EXPECT_GE(brightness(c), previous) << i;
    previous = brightness(c);
  }
}

TEST(PhaseColours, TheScaleSpansTheValidSamples) {
  EXPECT_EQ(sample_colour(-100, -100, 100), scale_colour(0));
  EXPECT_EQ(sample_colour(100, -100, 100), scale_colour(1));
  EXPECT_EQ(sample_colour(0, -100, 100), scale_colour(0.5));
  EXPECT_EQ(sample_colour(INT32_MIN, INT32_MIN, PHASE_INVALID - 1), scale_colour(0));
  EXPECT_EQ(sample_colour(PHASE_INVALID - 1, INT32_MIN, PHASE_INVALID - 1), scale_colour(1));
  EXPECT_EQ(sample_colour(7, 7, 7), scale_colour(0.5)); // a flat window
  EXPECT_EQ(scale_colour(-1), scale_colour(0));
  EXPECT_EQ(scale_colour(2), scale_colour(1));
}

// Rows of 3 samples: the first row at the top, each sample zoom x zoom.
TEST(PhaseMap, RowsRunDownTheSamplesZoomedIntoSquares) {
  int32_t samples[6] = {10, 20, 30, PHASE_INVALID, 0, -10};
  phase_matrix m{6, 5, 7, 3, 2, samples};
  for (int zoom : {1, 3}) {
    Picture p;
    ASSERT_EQ(draw_phase_map(m, zoom, p), 0);
    ASSERT_EQ(p.width, 3u * zoom);
    ASSERT_EQ(p.height, 2u * zoom);
    for (uint32_t y = 0; y < p.height; ++y)
      for (uint32_t x = 0; x < p.width; ++x)
        EXPECT_EQ(pixel(p, x, y), sample_colour(samples[(y / zoom) * 3 + x / zoom], -10, 30))
            << zoom << ": " << x << ", " << y;
  }
}

TEST(PhaseMap, NothingToDrawOrABadZoomIsRefused) {
  Picture p;
  phase_matrix none{};
  EXPECT_EQ(draw_phase_map(none, 1, p), ERR_NO_DATA);
  int32_t one = 5;
  phase_matrix m{1, 0, 0, 1, 1, &one};
  EXPECT_EQ(draw_phase_map(m, 0, p), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(draw_phase_map(m, ferry::info::kMaxZoom + 1, p), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(draw_phase_map(m, ferry::info::kMaxZoom, p), 0);
}

// What the system's decoder finds in the file is the picture drawn, pixel
// for pixel, whatever the platform's encoder.
TEST(PhasePng, TheFileDecodesToThePictureDrawn) {
  std::vector<int32_t> samples(37 * 5);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = i % 11 == 0 ? PHASE_INVALID : int32_t(i * i) - 5000;
  phase_matrix m{uint32_t(samples.size()), -3, 2, 37, 5, samples.data()};
  TempDir dir;
  const std::string path = dir.file("map.png");
  ASSERT_EQ(write_phase_png(path.c_str(), m, 2), 0);
  Picture drawn;
  ASSERT_EQ(draw_phase_map(m, 2, drawn), 0);

  const std::vector<uint8_t> bytes = ferry::test::read_file(path);
  ASSERT_GT(bytes.size(), 24u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.begin() + 24),
            (std::vector<uint8_t>{0, 0, 0, 74, 0, 0, 0, 10})); // IHDR width and height

  FILE *f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> rgb(74 * 10 * 3);
  uint32_t width = 0, height = 0;
  EXPECT_TRUE(plat_png_read_rgb(f, rgb.data(), rgb.size(), &width, &height));
  std::fclose(f);
  EXPECT_EQ(width, 74u);
  EXPECT_EQ(height, 10u);
  EXPECT_EQ(rgb, std::vector<uint8_t>(drawn.rgb.get(), drawn.rgb.get() + rgb.size()));
}

TEST(PhasePng, FailuresHaveTheirCodesAndLeaveNoEmptyFile) {
  TempDir dir;
  const std::string path = dir.file("map.png");
  phase_matrix none{};
  EXPECT_EQ(write_phase_png(path.c_str(), none, 1), ERR_NO_DATA);
  EXPECT_FALSE(std::filesystem::exists(path));
  int32_t one = 5;
  phase_matrix m{1, 0, 0, 1, 1, &one};
  EXPECT_EQ(write_phase_png(dir.file("missing/map.png").c_str(), m, 1), ERR_CANT_CREATE_FILE);
  if (plat_dir_separator == '/' && std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(write_phase_png("/dev/full", m, 1), ERR_CANT_WRITE_FILE);
  }

  long n = expect_no_leak_under_oom([&] { return write_phase_png(path.c_str(), m, 4); },
                                    [&] { std::filesystem::remove(path); });
  EXPECT_EQ(n, 1);
}

TEST(PhasePng, WhatIsNoPngIsNotDecoded) {
  TempDir dir;
  const std::string path = dir.file("not.png");
  ferry::test::write_text(path, "\x89PNG but nothing after it");
  FILE *f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  uint8_t rgb[3];
  uint32_t width = 1, height = 1;
  EXPECT_FALSE(plat_png_read_rgb(f, rgb, sizeof rgb, &width, &height));
  std::fclose(f);
  EXPECT_EQ(width, 0u);
  EXPECT_EQ(height, 0u);
}

} // namespace
