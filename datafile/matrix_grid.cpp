// The plain grid without origin and the row-pointer blocks.

#include "base/hooks.h"
#include "datafile/matrix.h"
#include "datafile/matrix_sizes_internal.h"

namespace {

using ferry::checked_product;

void clear_grid_shape(grid32 &g) {
  g.size = 0;
  g.width = 0;
  g.height = 0;
}

// One block: count pointer slots, then count rows of a x b bytes; none
// when the sizes are refused or the memory hook has none.
void **row_block(int32_t count, int32_t a, int32_t b, bool allow_empty_rows) {
  constexpr uint64_t kLimit = SIZE_MAX / 2;
  const int32_t least = allow_empty_rows ? 0 : 1;
  if (count <= 0 || a < least || b < least)
    return nullptr;
  auto rows = checked_product(kLimit, {count, a, b});
  auto slots = checked_product(kLimit, {count, sizeof(void *)});
  if (!rows || !slots || *rows > kLimit - *slots)
    return nullptr;
  auto *block = static_cast<void **>(u_malloc_hook(static_cast<size_t>(*slots + *rows)));
  if (!block)
    return nullptr;
  const uint64_t row_bytes = static_cast<uint64_t>(a) * static_cast<uint64_t>(b);
  auto *row = reinterpret_cast<unsigned char *>(block + count);
  for (int32_t i = 0; i < count; ++i, row += row_bytes)
    block[i] = row;
  return block;
}

} // namespace

extern "C" {

u_err_t grid32_alloc(grid32 *g) {
  if (!g)
    return ERR_INVALID_PARAM;
  auto count = checked_product(UINT32_MAX, {g->width, g->height});
  if (!count || *count == 0)
    return ERR_PARAM_OUT_OF_RANGE;
  g->samples = static_cast<int32_t *>(u_malloc_hook(*count * sizeof(int32_t)));
  if (!g->samples) {
    clear_grid_shape(*g);
    return ERR_NO_MEM;
  }
  g->size = static_cast<uint32_t>(*count);
  return ERR_NONE;
}

u_err_t grid32_resize(grid32 *g, int16_t width, int16_t height, bool keep) {
  if (!g)
    return ERR_INVALID_PARAM;
  auto needed = checked_product(UINT32_MAX, {width, height});
  if (!needed)
    return ERR_PARAM_OUT_OF_RANGE;
  if (!g->samples)
    g->size = 0;
  if (*needed == 0) {
    grid32_free(g);
    return ERR_NONE;
  }
  if (ferry::ensure_capacity(g->samples, g->size, static_cast<uint32_t>(*needed), keep)) {
    clear_grid_shape(*g);
    return ERR_NO_MEM;
  }
  g->width = width;
  g->height = height;
  return ERR_NONE;
}

void grid32_free(grid32 *g) {
  if (!g)
    return;
  ferry::hook_free(g->samples);
  clear_grid_shape(*g);
}

void **row_block_alloc(int32_t count, int32_t a, int32_t b) {
  return row_block(count, a, b, false);
}

// Rows of zero bytes are allowed here: the block is then the table alone,
// with every pointer at its end.
void **row_block_alloc_total(int32_t count, int32_t a, int32_t b) {
  return row_block(count, a, b, true);
}

} // extern "C"
