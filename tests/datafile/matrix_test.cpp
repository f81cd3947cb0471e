// Windowed matrices: allocation, resize and release rules, the row flip,
// window alignment and sample addressing.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "datafile/matrix.h"
#include "support/test_support.h"
#include "tests/datafile/alloc_sizes.h"

using ferry::test::AllocSizes;
using ferry::test::expect_no_leak_under_oom;
using ferry::test::FailingAllocator;

namespace {

template <typename M> M with_window(int16_t x, int16_t y, int16_t w, int16_t h) {
  M m{};
  m.x = x;
  m.y = y;
  m.width = w;
  m.height = h;
  return m;
}

phase_matrix numbered_phase(int16_t w, int16_t h) {
  auto m = with_window<phase_matrix>(0, 0, w, h);
  EXPECT_EQ(phase_matrix_alloc(&m), 0);
  std::iota(m.matrix, m.matrix + w * h, 0);
  return m;
}

std::vector<int32_t> samples(const phase_matrix &m) {
  return {m.matrix, m.matrix + m.width * m.height};
}

} // namespace

TEST(MatrixAlloc, EmptyOrNegativeWindowIsRefusedBeforeAnythingChanges) {
  FailingAllocator alloc;
  for (auto [w, h] : {std::pair{0, 3}, {3, 0}, {-2, 3}, {-2, -3}}) {
    auto m = with_window<phase_matrix>(7, 8, w, h);
    EXPECT_EQ(phase_matrix_alloc(&m), ERR_PARAM_OUT_OF_RANGE) << w << "x" << h;
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(m.matrix, nullptr);
    EXPECT_EQ(m.width, w);
  }
  auto big = with_window<intensity_matrix>(0, 0, 32767, 32767);
  big.n_buckets = 32767; // more samples than a 32-bit size can count
  EXPECT_EQ(intensity_matrix_alloc(&big), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(alloc.allocations(), 0);
}

TEST(MatrixAlloc, EachTypeTakesItsSampleBytes) {
  AllocSizes rec;
  auto p = with_window<phase_matrix>(0, 0, 1, 1);
  auto i = with_window<intensity_matrix>(0, 0, 3, 2);
  i.n_buckets = 4;
  auto k = with_window<mask_matrix>(0, 0, 5, 3);
  auto m16 = with_window<matrix16>(0, 0, 3, 2);
  auto m32 = with_window<matrix32>(0, 0, 3, 2);
  auto m64 = with_window<matrix64>(0, 0, 3, 2);
  ASSERT_EQ(phase_matrix_alloc(&p), 0);
  ASSERT_EQ(intensity_matrix_alloc(&i), 0);
  ASSERT_EQ(mask_matrix_alloc(&k), 0);
  ASSERT_EQ(matrix16_alloc(&m16), 0);
  ASSERT_EQ(matrix32_alloc(&m32), 0);
  ASSERT_EQ(matrix64_alloc(&m64), 0);
  EXPECT_EQ(rec.sizes, (std::vector<size_t>{4, 48, 24, 12, 24, 48}));
  EXPECT_EQ(p.size, 1u);
  EXPECT_EQ(i.size, 24u);
  EXPECT_EQ(k.size, 24u); // stride 8 for width 5
  EXPECT_EQ(m64.size, 6u);
  phase_matrix_free(&p);
  intensity_matrix_free(&i);
  mask_matrix_free(&k);
  matrix16_free(&m16);
  matrix32_free(&m32);
  matrix64_free(&m64);
}

TEST(MatrixAlloc, FailureClearsWhatEachTypeLists) {
  FailingAllocator alloc;
  alloc.fail_at(1, true);
  auto p = with_window<phase_matrix>(1, 2, 3, 4);
  auto m32 = with_window<matrix32>(1, 2, 3, 4);
  auto m16 = with_window<matrix16>(1, 2, 3, 4);
  auto k = with_window<mask_matrix>(1, 2, 3, 4);
  auto i = with_window<intensity_matrix>(1, 2, 3, 4);
  i.n_buckets = 2;
  EXPECT_EQ(phase_matrix_alloc(&p), ERR_NO_MEM);
  EXPECT_EQ(matrix32_alloc(&m32), ERR_NO_MEM);
  EXPECT_EQ(matrix16_alloc(&m16), ERR_NO_MEM);
  EXPECT_EQ(mask_matrix_alloc(&k), ERR_NO_MEM);
  EXPECT_EQ(intensity_matrix_alloc(&i), ERR_NO_MEM);
  EXPECT_EQ(p.width * p.height, 12);
  EXPECT_EQ(m32.width * m32.height, 12);
  EXPECT_EQ(m16.width | m16.height, 0);
  EXPECT_EQ(k.width | k.height, 0);
  EXPECT_EQ(i.width | i.height | i.n_buckets, 0);
  for (uint32_t size : {p.size, m32.size, m16.size, k.size, i.size})
    EXPECT_EQ(size, 0u);
  EXPECT_EQ(i.x, 1); // the origin is never touched
}

TEST(MatrixAlloc, ZeroedFormIsClearAndAcceptsAnEmptyWindow) {
  FailingAllocator alloc;
  auto m = with_window<matrix64>(0, 0, 3, 3);
  ASSERT_EQ(matrix64_alloc_zeroed(&m), 0);
  EXPECT_EQ(std::count(m.matrix, m.matrix + 9, 0), 9);
  matrix64_free(&m);
  auto e = with_window<matrix32>(0, 0, 0, 5);
  EXPECT_EQ(matrix32_alloc_zeroed(&e), 0);
  EXPECT_EQ(e.size, 0u);
  matrix32_free(&e);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST(MatrixResize, KeepDecidesWhetherALargerBufferStays) {
  FailingAllocator alloc;
  phase_matrix m{};
  window big{0, 0, 10, 10}, small{2, 3, 5, 5};
  ASSERT_EQ(phase_matrix_resize(&m, &big, false), 0);
  int32_t *first = m.matrix;
  ASSERT_EQ(phase_matrix_resize(&m, &small, true), 0);
  EXPECT_EQ(m.matrix, first);
  EXPECT_EQ(m.size, 100u);
  EXPECT_EQ(m.x, 2);
  EXPECT_EQ(m.width, 5);
  ASSERT_EQ(phase_matrix_resize(&m, &small, false), 0);
  EXPECT_EQ(m.size, 25u);
  EXPECT_EQ(alloc.allocations(), 2);
  EXPECT_EQ(alloc.live_blocks(), 1);

  window empty{9, 9, 0, 4};
  ASSERT_EQ(phase_matrix_resize(&m, &empty, false), 0);
  EXPECT_EQ(m.matrix, nullptr);
  EXPECT_EQ(m.size, 0u);
  EXPECT_EQ(m.x, 2); // the old window stays
  EXPECT_EQ(m.width, 5);
  EXPECT_EQ(alloc.live_blocks(), 0);

  window negative{0, 0, -4, 4};
  EXPECT_EQ(phase_matrix_resize(&m, &negative, false), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(m.width, 5);
}

TEST(MatrixResize, FailureKeepsTheOldWindowWithoutBuffer) {
  FailingAllocator alloc;
  mask_matrix k{};
  intensity_matrix i{};
  window w{1, 1, 6, 2}, bigger{0, 0, 9, 9};
  ASSERT_EQ(mask_matrix_resize(&k, &w, false), 0);
  EXPECT_EQ(k.size, 16u);
  ASSERT_EQ(intensity_matrix_resize(&i, &w, 3, false), 0);
  EXPECT_EQ(i.size, 36u);
  EXPECT_EQ(i.n_buckets, 3);
  alloc.fail_at(1, true);
  EXPECT_EQ(mask_matrix_resize(&k, &bigger, false), ERR_NO_MEM);
  EXPECT_EQ(intensity_matrix_resize(&i, &bigger, 5, false), ERR_NO_MEM);
  EXPECT_EQ(k.width, 6);
  EXPECT_EQ(k.matrix, nullptr);
  EXPECT_EQ(i.width, 6);
  EXPECT_EQ(i.n_buckets, 3);
  EXPECT_EQ(i.size, 0u);
  EXPECT_EQ(alloc.live_blocks(), 0);
  intensity_matrix_free(&i);
  EXPECT_EQ(i.n_buckets, 0);
}

TEST(MatrixResize, AlignedResizeWidensToMultiplesOfFour) {
  auto m = with_window<matrix64>(5, 6, 7, 3);
  ASSERT_EQ(matrix64_align4_resize(&m), 0);
  EXPECT_EQ(m.x, 4);
  EXPECT_EQ(m.y, 4);
  EXPECT_EQ(m.width, 8);
  EXPECT_EQ(m.height, 8);
  EXPECT_EQ(m.size, 64u);
  matrix64_free(&m);
  window w = window_align4(window{-3, 4, 2, 4});
  EXPECT_EQ(w.x, -4);
  EXPECT_EQ(w.width, 4);
  EXPECT_EQ(w.y, 4);
  EXPECT_EQ(w.height, 4);
  auto wide = with_window<phase_matrix>(1, 0, 32767, 1); // widened width would wrap
  EXPECT_EQ(phase_matrix_align4_resize(&wide), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(wide.matrix, nullptr);
  EXPECT_TRUE(is_multiple_of_4(-8));
  EXPECT_FALSE(is_multiple_of_4(6));
}

TEST(MatrixFree, KeepsTheOriginAndIsSafeTwice) {
  auto m = with_window<matrix16>(3, 4, 2, 2);
  ASSERT_EQ(matrix16_alloc(&m), 0);
  matrix16_free(&m);
  matrix16_free(&m);
  EXPECT_EQ(m.x, 3);
  EXPECT_EQ(m.y, 4);
  EXPECT_EQ(m.width | m.height, 0);
  EXPECT_EQ(m.matrix, nullptr);
}

TEST(PhaseFlip, ReversesRowsAndTwiceRestores) {
  for (int16_t h : {1, 2, 3, 4, 7}) {
    phase_matrix m = numbered_phase(3, h);
    auto before = samples(m);
    phase_matrix_flip_y(&m);
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < 3; ++c)
        EXPECT_EQ(m.matrix[r * 3 + c], before[(h - 1 - r) * 3 + c]) << "height " << h;
    phase_matrix_flip_y(&m);
    EXPECT_EQ(samples(m), before);
    phase_matrix_free(&m);
  }
}

TEST(PhaseFlip, AllocatesNothingAndIgnoresABufferTooSmall) {
  phase_matrix m = numbered_phase(4, 4);
  FailingAllocator alloc;
  m.height = 5; // a window the buffer cannot hold is left alone
  auto before = std::vector<int32_t>(m.matrix, m.matrix + 16);
  phase_matrix_flip_y(&m);
  EXPECT_EQ(std::vector<int32_t>(m.matrix, m.matrix + 16), before);
  m.height = 4;
  phase_matrix_flip_y(&m);
  EXPECT_EQ(m.matrix[0], 12);
  EXPECT_EQ(alloc.allocations(), 0);
  phase_matrix_free(&m);
}

TEST(RowTables, PhaseSubWindowRowsFollowTheOrigin) {
  phase_matrix m = numbered_phase(5, 4);
  m.x = 10;
  m.y = 20;
  int32_t *rows[3];
  window sub{11, 21, 2, 3};
  phase_matrix_row_table(&m, &sub, rows);
  EXPECT_EQ(*rows[0], 6);
  EXPECT_EQ(*rows[1], 11);
  EXPECT_EQ(*rows[2], 16);
  phase_matrix_free(&m);
}

TEST(Addressing, SixteenBitTopDownMaskBottomUpWithPaddedStride) {
  auto m = with_window<matrix16>(10, 20, 3, 2);
  ASSERT_EQ(matrix16_alloc(&m), 0);
  EXPECT_EQ(matrix16_address(&m, 12, 21), m.matrix + 5);
  EXPECT_EQ(matrix16_address(&m, 10, 20), m.matrix);
  matrix16_free(&m);

  auto k = with_window<mask_matrix>(10, 20, 5, 3);
  ASSERT_EQ(mask_matrix_alloc(&k), 0);
  EXPECT_EQ(mask_matrix_address(&k, 10, 20), k.matrix + 16); // top row last in memory
  EXPECT_EQ(mask_matrix_address(&k, 14, 22), k.matrix + 4);
  EXPECT_EQ(mask_matrix_address(&k, 11, 21), k.matrix + 9);
  mask_matrix_free(&k);

  uint16_t src[4] = {1, 2, 3, 4}, dst[4] = {};
  EXPECT_EQ(copy_samples16(dst, src, 3), 0);
  EXPECT_EQ(dst[2], 3);
  EXPECT_EQ(dst[3], 0);
}

TEST(MatrixOom, EveryAllocationFailsCleanly) {
  phase_matrix p{};
  intensity_matrix i{};
  mask_matrix k{};
  matrix32 m32{};
  matrix64 m64{};
  window w{1, 2, 5, 3};
  expect_no_leak_under_oom(
      [&] {
        p = with_window<phase_matrix>(1, 2, 5, 3);
        return phase_matrix_alloc(&p);
      },
      [&] { phase_matrix_free(&p); });
  expect_no_leak_under_oom([&] { return intensity_matrix_resize(&i, &w, 2, false); },
                           [&] { intensity_matrix_free(&i); });
  expect_no_leak_under_oom([&] { return mask_matrix_resize(&k, &w, false); },
                           [&] { mask_matrix_free(&k); });
  expect_no_leak_under_oom(
      [&] {
        m32 = with_window<matrix32>(0, 0, 4, 4);
        return matrix32_alloc_zeroed(&m32);
      },
      [&] { matrix32_free(&m32); });
  expect_no_leak_under_oom(
      [&] {
        m64 = with_window<matrix64>(1, 1, 3, 3);
        return matrix64_align4_resize(&m64);
      },
      [&] { matrix64_free(&m64); });
}
