// The bucket matrix: n_blocks frames of one window, either in one buffer or
// each in a buffer of its own, always stored on a window aligned to
// multiples of 4.

#include <algorithm>
#include <cstring>

#include "base/hooks.h"
#include "datafile/matrix.h"
#include "datafile/matrix_sizes_internal.h"

namespace {

using ferry::hook_free;

// Byte sizes of one request, checked against the 32-bit fields that must
// describe them.
struct Shape {
  window aligned;
  int32_t aligned_block; // bytes of one block of the aligned window
  int32_t total;         // bytes of all blocks of the aligned window
};

std::optional<Shape> shape_of(const window &w, int32_t n_blocks, int32_t elem_size) {
  auto aligned = ferry::aligned_window(w);
  if (!aligned)
    return std::nullopt;
  auto block = ferry::checked_product(INT32_MAX, {aligned->width, aligned->height, elem_size});
  auto total =
      ferry::checked_product(INT32_MAX, {aligned->width, aligned->height, elem_size, n_blocks});
  if (!block || !total)
    return std::nullopt;
  return Shape{*aligned, static_cast<int32_t>(*block), static_cast<int32_t>(*total)};
}

bool valid_element(const bucket_matrix &b) {
  return b.elem_size > 0 && b.elem_res >= 1;
}

int16_t scaled(int16_t v, int32_t factor) {
  return static_cast<int16_t>(static_cast<int64_t>(v) * factor);
}

// The requested window and block count, and the sizes derived from them.
void describe(bucket_matrix &b, const Shape &s, const window &w, int32_t n_blocks) {
  b.stored = s.aligned;
  b.window = w;
  b.n_blocks = n_blocks;
  b.blocksize = w.width * w.height * b.elem_size;
  b.size = b.blocksize * n_blocks;
  b.qsize = n_blocks;
  b.n_buckets = static_cast<int16_t>(n_blocks);
}

void point_blocks_into_buffer(bucket_matrix &b, int32_t count, int32_t block_bytes) {
  for (int32_t i = 0; i < count; ++i)
    b.blocks[i] = b.matrix + static_cast<ptrdiff_t>(i) * block_bytes;
}

// A fresh table of n null entries, or false (and nothing held) when the
// memory hook has none.
bool take_table(bucket_matrix &b, int32_t n) {
  b.blocks = static_cast<uint8_t **>(u_malloc_hook(static_cast<size_t>(n) * sizeof(uint8_t *)));
  if (!b.blocks)
    return false;
  std::fill(b.blocks, b.blocks + n, nullptr);
  b.table_capacity = n;
  return true;
}

bool take_blocks(bucket_matrix &b, const Shape &s, int32_t n_blocks) {
  if (!b.separate_blocks) {
    b.matrix = static_cast<uint8_t *>(u_malloc_hook(static_cast<size_t>(s.total)));
    if (!b.matrix)
      return false;
    point_blocks_into_buffer(b, n_blocks, s.aligned_block);
    return true;
  }
  for (int32_t i = 0; i < n_blocks; ++i) {
    b.blocks[i] = static_cast<uint8_t *>(u_malloc_hook(static_cast<size_t>(s.aligned_block)));
    if (!b.blocks[i])
      return false;
  }
  b.matrix = b.blocks[0];
  return true;
}

// Element size and resolution become the descriptor's only on success.
u_err_t alloc_shape(bucket_matrix &b, const window &w, int32_t n_blocks, int32_t elem_size,
                    int32_t elem_res, const Shape &s) {
  bucket_matrix_free(&b);
  b.stored = s.aligned;
  if (s.total == 0)
    return ERR_PARAM_OUT_OF_RANGE;
  if (!take_table(b, n_blocks)) {
    bucket_matrix_free(&b);
    return ERR_NO_MEM;
  }
  b.alloc_blocks = n_blocks;
  if (!take_blocks(b, s, n_blocks)) {
    bucket_matrix_free(&b);
    return ERR_NO_MEM;
  }
  b.alloc_win = {scaled(s.aligned.x, elem_size), scaled(s.aligned.y, elem_size),
                 scaled(s.aligned.width, elem_size), scaled(s.aligned.height, elem_size)};
  b.alloc_elem_size = elem_size;
  b.elem_size = elem_size;
  b.elem_res = elem_res;
  b.alloc_size = s.total;
  b.alloc_blocksize = s.aligned_block;
  describe(b, s, w, n_blocks);
  return ERR_NONE;
}

// Whether buffers are held: the block table and the first block (or the
// one buffer).
bool holds_buffers(const bucket_matrix &b) {
  return b.blocks && b.matrix;
}

} // namespace

extern "C" {

u_err_t bucket_matrix_alloc(bucket_matrix *b, const window *w, int32_t n_blocks, int32_t elem_size,
                            int32_t elem_res) {
  if (!b || !w)
    return ERR_INVALID_PARAM;
  const window requested = *w; // w may point into b
  bucket_matrix_free(b);
  if (elem_size <= 0 || elem_res < 1 || n_blocks <= 0)
    return ERR_PARAM_OUT_OF_RANGE;
  auto shape = shape_of(requested, n_blocks, elem_size);
  if (!shape)
    return ERR_PARAM_OUT_OF_RANGE;
  return alloc_shape(*b, requested, n_blocks, elem_size, elem_res, *shape);
}

u_err_t bucket_matrix_resize(bucket_matrix *b, const window *w, int32_t n_blocks, bool keep) {
  if (!b || !w)
    return ERR_INVALID_PARAM;
  if (!valid_element(*b) || n_blocks < 0)
    return ERR_PARAM_OUT_OF_RANGE;
  const window requested = *w;
  auto shape = shape_of(requested, n_blocks, b->elem_size);
  if (!shape)
    return ERR_PARAM_OUT_OF_RANGE;
  if (!holds_buffers(*b))
    b->alloc_size = 0;
  const int32_t needed = b->separate_blocks ? shape->aligned_block : shape->total;
  const int32_t have = !holds_buffers(*b)   ? 0
                       : b->separate_blocks ? b->alloc_blocksize
                                            : b->alloc_size;
  if (needed == 0) {
    bucket_matrix_free(b);
    return ERR_NONE;
  }
  if (have < needed || (needed < have && !keep) ||
      (b->separate_blocks && b->alloc_blocks < n_blocks))
    return alloc_shape(*b, requested, n_blocks, b->elem_size, b->elem_res, *shape);
  if (!b->separate_blocks && b->table_capacity < n_blocks) {
    hook_free(b->blocks);
    b->table_capacity = 0;
    if (!take_table(*b, n_blocks)) {
      bucket_matrix_free(b);
      return ERR_NO_MEM;
    }
  }
  describe(*b, *shape, requested, n_blocks);
  if (!b->separate_blocks)
    point_blocks_into_buffer(*b, n_blocks, shape->aligned_block);
  return ERR_NONE;
}

u_err_t bucket_matrix_realloc(bucket_matrix *b) {
  if (!b)
    return ERR_INVALID_PARAM;
  return bucket_matrix_alloc(b, &b->window, b->n_buckets, b->elem_size, b->elem_res);
}

u_err_t bucket_matrix_realloc_qsize(bucket_matrix *b) {
  if (!b)
    return ERR_INVALID_PARAM;
  if (b->qsize < INT16_MIN || b->qsize > INT16_MAX)
    return ERR_PARAM_OUT_OF_RANGE;
  b->n_buckets = static_cast<int16_t>(b->qsize);
  return bucket_matrix_realloc(b);
}

void bucket_matrix_clear(bucket_matrix *b) {
  if (!b)
    return;
  if (!b->separate_blocks) {
    if (b->matrix)
      std::memset(b->matrix, 0, static_cast<size_t>(b->alloc_size));
    return;
  }
  for (int32_t i = 0; b->blocks && i < b->alloc_blocks; ++i)
    if (b->blocks[i])
      std::memset(b->blocks[i], 0, static_cast<size_t>(b->alloc_blocksize));
}

// The shape (flag, element, window, block count) survives so that
// bucket_matrix_realloc can allocate it again.
void bucket_matrix_free(bucket_matrix *b) {
  if (!b)
    return;
  if (b->separate_blocks) {
    for (int32_t i = 0; b->blocks && i < b->alloc_blocks; ++i)
      hook_free(b->blocks[i]);
    b->matrix = nullptr;
  } else {
    hook_free(b->matrix);
  }
  hook_free(b->blocks);
  b->alloc_size = 0;
  b->alloc_win.width = 0;
  b->alloc_win.height = 0;
  b->alloc_blocks = 0;
  b->alloc_blocksize = 0;
  b->alloc_elem_size = 0;
  b->table_capacity = 0;
  b->size = 0;
  b->blocksize = 0;
  b->stored.width = 0;
  b->stored.height = 0;
}

void bucket_matrix_row_table(const bucket_matrix *b, const window *sub, int32_t block,
                             uint8_t **rows) {
  if (!b || !rows || !holds_buffers(*b) || block < 0 || block >= b->n_blocks ||
      (b->separate_blocks && block >= b->alloc_blocks))
    return;
  const window s = sub ? *sub : b->window;
  const ptrdiff_t stride = static_cast<ptrdiff_t>(b->stored.width) * b->elem_size;
  uint8_t *start =
      b->separate_blocks ? b->blocks[block] : b->matrix + block * stride * b->stored.height;
  uint8_t *row = start + (s.y - b->stored.y) * stride +
                 static_cast<ptrdiff_t>(s.x - b->stored.x) * b->elem_size;
  for (int i = 0; i < s.height; ++i, row += stride)
    rows[i] = row;
}

} // extern "C"
