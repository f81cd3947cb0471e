#pragma once
// Size arithmetic shared by the matrix, grid, bucket and data file code.
//
// Windows are signed 16-bit values and counts land in 32-bit fields, so
// every product is taken in 64 bits and checked before anything is
// allocated: a negative extent or a product the descriptor cannot describe
// is refused instead of turning into a short buffer.

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "base/hooks.h"
#include "datafile/matrix.h"

namespace ferry {

// Product of the factors when none is negative and it does not exceed
// limit; none otherwise.
inline std::optional<uint64_t> checked_product(uint64_t limit, std::initializer_list<int64_t> f) {
  uint64_t product = 1;
  for (int64_t factor : f) {
    if (factor < 0 || __builtin_mul_overflow(product, static_cast<uint64_t>(factor), &product))
      return std::nullopt;
  }
  if (product > limit)
    return std::nullopt;
  return product;
}

// Bytes between two rows of a mask matrix: the width rounded up to a
// multiple of 4.
constexpr int32_t mask_stride(int32_t width) {
  return (width + 3) & ~3;
}

// One axis widened to multiples of 4: the origin with its two low bits
// cleared, the end rounded up. Returns {origin, extent} in 32 bits.
struct Axis {
  int32_t origin, extent;
};
constexpr Axis aligned_axis(int32_t origin, int32_t extent) {
  int32_t start = origin & ~3;
  return {start, ((origin + extent + 3) & ~3) - start};
}

// The window widened to multiples of 4, or none when an extent is negative
// or the widened extent no longer fits a 16-bit window.
inline std::optional<window> aligned_window(const window &w) {
  if (w.width < 0 || w.height < 0)
    return std::nullopt;
  Axis h = aligned_axis(w.x, w.width), v = aligned_axis(w.y, w.height);
  if (h.extent > INT16_MAX || v.extent > INT16_MAX)
    return std::nullopt;
  return window{static_cast<int16_t>(h.origin), static_cast<int16_t>(v.origin),
                static_cast<int16_t>(h.extent), static_cast<int16_t>(v.extent)};
}

// Makes a descriptor's buffer hold `needed` samples: a buffer that is too
// small, or larger than needed while keep is false, is released and
// replaced (not copied). On failure the descriptor holds no buffer.
template <typename S>
u_err_t ensure_capacity(S *&buffer, uint32_t &size, uint32_t needed, bool keep) {
  if (size >= needed && (keep || size == needed))
    return ERR_NONE;
  size = 0;
  hook_free(buffer);
  buffer = static_cast<S *>(u_malloc_hook(static_cast<size_t>(needed) * sizeof(S)));
  if (!buffer)
    return ERR_NO_MEM;
  size = needed;
  return ERR_NONE;
}

} // namespace ferry
