// Bucket matrices in both forms, the plain grid and row-pointer blocks.

#include <gtest/gtest.h>

#include <algorithm>

#include "base/hooks.h"
#include "datafile/matrix.h"
#include "support/test_support.h"

using ferry::test::expect_no_leak_under_oom;
using ferry::test::FailingAllocator;

namespace {

constexpr window kWindow{1, 2, 5, 3}; // stored as (0, 0, 8, 8)

bucket_matrix bucket(bool separate) {
  bucket_matrix b{};
  b.separate_blocks = separate;
  return b;
}

void expect_window(const window &w, int16_t x, int16_t y, int16_t width, int16_t height) {
  EXPECT_EQ(w.x, x);
  EXPECT_EQ(w.y, y);
  EXPECT_EQ(w.width, width);
  EXPECT_EQ(w.height, height);
}

} // namespace

TEST(BucketMatrix, OneBufferHoldsAlignedBlocksBackToBack) {
  FailingAllocator alloc;
  bucket_matrix b = bucket(false);
  ASSERT_EQ(bucket_matrix_alloc(&b, &kWindow, 3, 2, 1), 0);
  expect_window(b.stored, 0, 0, 8, 8);
  expect_window(b.window, 1, 2, 5, 3);
  expect_window(b.alloc_win, 0, 0, 16, 16);
  EXPECT_EQ(b.alloc_blocksize, 128);
  EXPECT_EQ(b.alloc_size, 384);
  EXPECT_EQ(b.alloc_blocks, 3);
  EXPECT_EQ(b.alloc_elem_size, 2);
  EXPECT_EQ(b.table_capacity, 3);
  EXPECT_EQ(b.blocksize, 30);
  EXPECT_EQ(b.size, 90);
  EXPECT_EQ(b.qsize, 3);
  EXPECT_EQ(b.n_buckets, 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(b.blocks[i], b.matrix + i * 128);
  EXPECT_EQ(alloc.live_blocks(), 2); // table and buffer

  uint8_t *rows[3];
  bucket_matrix_row_table(&b, nullptr, 1, rows);
  EXPECT_EQ(rows[0], b.matrix + 128 + 2 * 16 + 1 * 2);
  EXPECT_EQ(rows[2], rows[0] + 32);

  std::fill(b.matrix, b.matrix + b.alloc_size, 0xAB);
  bucket_matrix_clear(&b);
  EXPECT_EQ(std::count(b.matrix, b.matrix + b.alloc_size, 0), 384);
  bucket_matrix_free(&b);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST(BucketMatrix, SeparateBlocksAreBuffersOfTheirOwn) {
  FailingAllocator alloc;
  bucket_matrix b = bucket(true);
  ASSERT_EQ(bucket_matrix_alloc(&b, &kWindow, 3, 2, 1), 0);
  EXPECT_EQ(alloc.live_blocks(), 4);
  EXPECT_EQ(b.matrix, b.blocks[0]);
  uint8_t *rows[3];
  bucket_matrix_row_table(&b, nullptr, 2, rows);
  EXPECT_EQ(rows[0], b.blocks[2] + 2 * 16 + 2);
  for (int i = 0; i < 3; ++i)
    std::fill(b.blocks[i], b.blocks[i] + 128, 0x5A);
  bucket_matrix_clear(&b);
  EXPECT_EQ(std::count(b.blocks[2], b.blocks[2] + 128, 0), 128);
  bucket_matrix_free(&b);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST(BucketMatrix, BadParametersAreRefused) {
  bucket_matrix b = bucket(false);
  const window empty{0, 0, 0, 4}, negative{0, 0, -5, 4};
  EXPECT_EQ(bucket_matrix_alloc(nullptr, &kWindow, 1, 1, 1), ERR_INVALID_PARAM);
  EXPECT_EQ(bucket_matrix_alloc(&b, &kWindow, 1, 0, 1), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(bucket_matrix_alloc(&b, &kWindow, 1, 1, 0), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(bucket_matrix_alloc(&b, &kWindow, 0, 1, 1), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(bucket_matrix_alloc(&b, &empty, 1, 1, 1), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(bucket_matrix_alloc(&b, &negative, 1, 1, 1), ERR_PARAM_OUT_OF_RANGE);
  const window huge{0, 0, 32000, 32000}; // more bytes than the 32-bit sizes count
  EXPECT_EQ(bucket_matrix_alloc(&b, &huge, 4, 8, 1), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(b.matrix, nullptr);
  EXPECT_EQ(bucket_matrix_resize(&b, &kWindow, 1, true), ERR_PARAM_OUT_OF_RANGE); // no elem_size
}

TEST(BucketMatrix, FreeKeepsTheShapeForRealloc) {
  for (bool separate : {false, true}) {
    FailingAllocator alloc;
    bucket_matrix b = bucket(separate);
    ASSERT_EQ(bucket_matrix_alloc(&b, &kWindow, 3, 4, 2), 0);
    bucket_matrix_free(&b);
    EXPECT_EQ(b.matrix, nullptr);
    EXPECT_EQ(b.blocks, nullptr);
    EXPECT_EQ(b.alloc_size | b.alloc_blocks | b.size | b.blocksize | b.stored.width, 0);
    EXPECT_EQ(b.elem_size, 4);
    EXPECT_EQ(b.elem_res, 2);
    EXPECT_EQ(b.n_blocks, 3);
    expect_window(b.window, 1, 2, 5, 3);
    ASSERT_EQ(bucket_matrix_realloc(&b), 0);
    EXPECT_EQ(b.alloc_size, 3 * 256);
    b.qsize = 5;
    ASSERT_EQ(bucket_matrix_realloc_qsize(&b), 0);
    EXPECT_EQ(b.n_blocks, 5);
    EXPECT_EQ(b.alloc_blocks, 5);
    bucket_matrix_free(&b);
    EXPECT_EQ(alloc.live_blocks(), 0) << (separate ? "separate" : "one buffer");
  }
}

TEST(BucketMatrix, ResizeKeepsOrReplacesBuffers) {
  FailingAllocator alloc;
  bucket_matrix b = bucket(false);
  ASSERT_EQ(bucket_matrix_alloc(&b, &kWindow, 3, 2, 1), 0);
  uint8_t *buffer = b.matrix;
  const window small{0, 0, 4, 4};
  ASSERT_EQ(bucket_matrix_resize(&b, &small, 6, true), 0); // 192 of 384 bytes
  EXPECT_EQ(b.matrix, buffer);
  EXPECT_EQ(b.table_capacity, 6);
  EXPECT_EQ(b.blocks[5], buffer + 5 * 32);
  EXPECT_EQ(b.size, 192);
  EXPECT_EQ(b.n_buckets, 6);
  ASSERT_EQ(bucket_matrix_resize(&b, &small, 6, false), 0);
  EXPECT_EQ(b.alloc_size, 192);
  const window empty{4, 8, 0, 0}; // aligned origin: nothing to store
  ASSERT_EQ(bucket_matrix_resize(&b, &empty, 6, false), 0);
  EXPECT_EQ(b.matrix, nullptr);
  EXPECT_EQ(alloc.live_blocks(), 0);

  bucket_matrix s = bucket(true);
  ASSERT_EQ(bucket_matrix_alloc(&s, &kWindow, 2, 1, 1), 0);
  ASSERT_EQ(bucket_matrix_resize(&s, &small, 2, true), 0); // smaller blocks: kept
  EXPECT_EQ(s.alloc_blocksize, 64);
  ASSERT_EQ(bucket_matrix_resize(&s, &small, 4, true), 0); // more blocks: anew
  EXPECT_EQ(s.alloc_blocks, 4);
  EXPECT_EQ(s.alloc_blocksize, 16);
  bucket_matrix_free(&s);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST(BucketMatrix, OutOfMemoryReleasesEverything) {
  for (bool separate : {false, true}) {
    bucket_matrix b = bucket(separate);
    expect_no_leak_under_oom([&] { return bucket_matrix_alloc(&b, &kWindow, 3, 2, 1); },
                             [&] { bucket_matrix_free(&b); });
  }
  bucket_matrix b = bucket(false);
  const window small{0, 0, 4, 4};
  expect_no_leak_under_oom(
      [&] {
        u_err_t err = bucket_matrix_alloc(&b, &kWindow, 2, 2, 1);
        return err ? err : bucket_matrix_resize(&b, &small, 5, true); // replaces the table
      },
      [&] { bucket_matrix_free(&b); });
}

TEST(Grid32, FollowsTheResizeRulesAndClearsItsShape) {
  FailingAllocator alloc;
  grid32 g{};
  g.width = 0;
  g.height = 5;
  EXPECT_EQ(grid32_alloc(&g), ERR_PARAM_OUT_OF_RANGE);
  ASSERT_EQ(grid32_resize(&g, 4, 4, false), 0);
  int32_t *first = g.samples;
  ASSERT_EQ(grid32_resize(&g, 2, 3, true), 0);
  EXPECT_EQ(g.samples, first);
  EXPECT_EQ(g.size, 16u);
  EXPECT_EQ(g.width, 2);
  ASSERT_EQ(grid32_resize(&g, 0, 3, true), 0);
  EXPECT_EQ(g.samples, nullptr);
  EXPECT_EQ(g.width | g.height, 0);
  alloc.fail_at(1);
  g.width = 3;
  g.height = 3;
  EXPECT_EQ(grid32_alloc(&g), ERR_NO_MEM);
  EXPECT_EQ(g.width | g.height | static_cast<int>(g.size), 0);
  alloc.fail_at(1);
  EXPECT_EQ(grid32_resize(&g, 3, 3, false), ERR_NO_MEM);
  EXPECT_EQ(g.width | g.height, 0);
  grid32_free(&g);
  EXPECT_EQ(alloc.live_blocks(), 0);
}

TEST(RowBlock, PointersFollowTheTable) {
  FailingAllocator alloc;
  void **block = row_block_alloc(3, 4, 5);
  ASSERT_NE(block, nullptr);
  auto *base = reinterpret_cast<unsigned char *>(block);
  EXPECT_EQ(block[0], base + 3 * sizeof(void *));
  EXPECT_EQ(block[2], base + 3 * sizeof(void *) + 40);
  std::fill(static_cast<unsigned char *>(block[2]), static_cast<unsigned char *>(block[2]) + 20,
            0xEE); // the last row lies inside the block
  u_free_hook(block);
  EXPECT_EQ(row_block_alloc(3, 0, 5), nullptr);
  EXPECT_EQ(row_block_alloc(-3, 4, 5), nullptr);
  EXPECT_EQ(row_block_alloc(0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF), nullptr);

  void **empty_rows = row_block_alloc_total(3, 0, 5);
  ASSERT_NE(empty_rows, nullptr);
  EXPECT_EQ(empty_rows[0], empty_rows[2]);
  u_free_hook(empty_rows);
  EXPECT_EQ(row_block_alloc_total(0, 4, 5), nullptr);
  alloc.fail_at(1);
  EXPECT_EQ(row_block_alloc(2, 2, 2), nullptr);
  EXPECT_EQ(alloc.live_blocks(), 0);
}
