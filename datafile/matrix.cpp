// The windowed matrices: one implementation over the descriptor type, with
// a small traits record per type for what really differs (how many samples
// a window needs, what an allocation failure clears, the extra attribute).

#include "datafile/matrix.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "base/hooks.h"
#include "datafile/matrix_sizes_internal.h"
#include "platform/memory.h"

namespace {

using ferry::checked_product;
using ferry::hook_free;

template <typename M> using Sample = std::remove_pointer_t<decltype(M::matrix)>;

// Plain row-by-row types: width x height samples, no bucket count, and a
// failed allocation clears nothing but the buffer unless a type says so.
struct PlainTraits {
  static constexpr bool clears_window_on_failure = false;
  static std::optional<uint64_t> count(const window &w, int16_t /*buckets*/) {
    return checked_product(UINT32_MAX, {w.width, w.height});
  }
  template <typename M> static int16_t buckets(const M &) { return 1; }
  template <typename M> static void set_buckets(M &, int16_t) {}
};

template <typename M> struct Traits : PlainTraits {};

template <> struct Traits<matrix16> : PlainTraits {
  static constexpr bool clears_window_on_failure = true;
};

template <> struct Traits<intensity_matrix> {
  static constexpr bool clears_window_on_failure = true;
  static std::optional<uint64_t> count(const window &w, int16_t buckets) {
    return checked_product(UINT32_MAX, {buckets, w.width, w.height});
  }
  static int16_t buckets(const intensity_matrix &m) { return m.n_buckets; }
  static void set_buckets(intensity_matrix &m, int16_t n) { m.n_buckets = n; }
};

// Mask rows are padded to a multiple of 4 bytes.
template <> struct Traits<mask_matrix> : PlainTraits {
  static constexpr bool clears_window_on_failure = true;
  static std::optional<uint64_t> count(const window &w, int16_t) {
    if (w.width < 0)
      return std::nullopt;
    return checked_product(UINT32_MAX, {ferry::mask_stride(w.width), w.height});
  }
};

template <typename M> window window_of(const M &m) {
  return {m.x, m.y, m.width, m.height};
}

template <typename M> void set_window(M &m, const window &w) {
  m.x = w.x;
  m.y = w.y;
  m.width = w.width;
  m.height = w.height;
}

template <typename M> void init(M *m) {
  if (m)
    *m = M{};
}

// Allocation is for a descriptor that holds no buffer: a buffer it might
// hold is not released here.
template <typename M> u_err_t alloc(M *m, bool zeroed) {
  if (!m)
    return ERR_INVALID_PARAM;
  auto count = Traits<M>::count(window_of(*m), Traits<M>::buckets(*m));
  if (!count || (*count == 0 && !zeroed))
    return ERR_PARAM_OUT_OF_RANGE;
  m->size = 0;
  m->matrix = nullptr;
  void *block =
      zeroed ? u_calloc_hook(*count, sizeof(Sample<M>)) : u_malloc_hook(*count * sizeof(Sample<M>));
  if (!block) {
    if constexpr (Traits<M>::clears_window_on_failure) {
      m->width = 0;
      m->height = 0;
      Traits<M>::set_buckets(*m, 0);
    }
    return ERR_NO_MEM;
  }
  plat_advise_large_buffer(block, *count * sizeof(Sample<M>));
  m->matrix = static_cast<Sample<M> *>(block);
  m->size = static_cast<uint32_t>(*count);
  return ERR_NONE;
}

// The window (and bucket count) change only when the call succeeds: an
// empty window releases the buffer but keeps the old window, and a failed
// allocation leaves the old window with no buffer.
template <typename M> u_err_t resize(M *m, const window *w, int16_t buckets, bool keep) {
  if (!m || !w)
    return ERR_INVALID_PARAM;
  if (!m->matrix)
    m->size = 0;
  auto needed = Traits<M>::count(*w, buckets);
  if (!needed)
    return ERR_PARAM_OUT_OF_RANGE;
  if (*needed == 0) {
    m->size = 0;
    hook_free(m->matrix);
    return ERR_NONE;
  }
  if (u_err_t err =
          ferry::ensure_capacity(m->matrix, m->size, static_cast<uint32_t>(*needed), keep))
    return err;
  set_window(*m, *w);
  Traits<M>::set_buckets(*m, buckets);
  return ERR_NONE;
}

template <typename M> u_err_t align4_resize(M *m) {
  if (!m)
    return ERR_INVALID_PARAM;
  auto aligned = ferry::aligned_window(window_of(*m));
  if (!aligned)
    return ERR_PARAM_OUT_OF_RANGE;
  return resize(m, &*aligned, 1, true);
}

// x and y survive a release.
template <typename M> void release(M *m) {
  if (!m)
    return;
  hook_free(m->matrix);
  m->size = 0;
  m->width = 0;
  m->height = 0;
  Traits<M>::set_buckets(*m, 0);
}

// Whether the buffer holds every sample the window addresses.
template <typename M> bool holds_window(const M &m) {
  auto count = Traits<M>::count(window_of(m), Traits<M>::buckets(m));
  return m.matrix && count && *count <= m.size;
}

} // namespace

extern "C" {

void phase_matrix_init(phase_matrix *m) {
  init(m);
}
u_err_t phase_matrix_alloc(phase_matrix *m) {
  return alloc(m, false);
}
u_err_t phase_matrix_resize(phase_matrix *m, const window *w, bool keep) {
  return resize(m, w, 1, keep);
}
u_err_t phase_matrix_align4_resize(phase_matrix *m) {
  return align4_resize(m);
}
void phase_matrix_free(phase_matrix *m) {
  release(m);
}

void intensity_matrix_init(intensity_matrix *m) {
  init(m);
}
u_err_t intensity_matrix_alloc(intensity_matrix *m) {
  return alloc(m, false);
}
u_err_t intensity_matrix_resize(intensity_matrix *m, const window *w, int16_t n_buckets,
                                bool keep) {
  return resize(m, w, n_buckets, keep);
}
void intensity_matrix_free(intensity_matrix *m) {
  release(m);
}

void mask_matrix_init(mask_matrix *m) {
  init(m);
}
u_err_t mask_matrix_alloc(mask_matrix *m) {
  return alloc(m, false);
}
u_err_t mask_matrix_resize(mask_matrix *m, const window *w, bool keep) {
  return resize(m, w, 1, keep);
}
void mask_matrix_free(mask_matrix *m) {
  release(m);
}

void matrix16_init(matrix16 *m) {
  init(m);
}
u_err_t matrix16_alloc(matrix16 *m) {
  return alloc(m, false);
}
u_err_t matrix16_resize(matrix16 *m, const window *w, bool keep) {
  return resize(m, w, 1, keep);
}
void matrix16_free(matrix16 *m) {
  release(m);
}

void matrix32_init(matrix32 *m) {
  init(m);
}
u_err_t matrix32_alloc(matrix32 *m) {
  return alloc(m, false);
}
u_err_t matrix32_alloc_zeroed(matrix32 *m) {
  return alloc(m, true);
}
u_err_t matrix32_resize(matrix32 *m, const window *w, bool keep) {
  return resize(m, w, 1, keep);
}
void matrix32_free(matrix32 *m) {
  release(m);
}

void matrix64_init(matrix64 *m) {
  init(m);
}
u_err_t matrix64_alloc(matrix64 *m) {
  return alloc(m, false);
}
u_err_t matrix64_alloc_zeroed(matrix64 *m) {
  return alloc(m, true);
}
u_err_t matrix64_resize(matrix64 *m, const window *w, bool keep) {
  return resize(m, w, 1, keep);
}
u_err_t matrix64_align4_resize(matrix64 *m) {
  return align4_resize(m);
}
void matrix64_free(matrix64 *m) {
  release(m);
}

void phase_matrix_row_table(const phase_matrix *m, const window *sub, int32_t **rows) {
  if (!m || !rows || !m->matrix)
    return;
  const window s = sub ? *sub : window_of(*m);
  const ptrdiff_t stride = m->width;
  int32_t *row = m->matrix + (s.y - m->y) * stride + (s.x - m->x);
  for (int i = 0; i < s.height; ++i, row += stride)
    rows[i] = row;
}

// Exchanging whole rows gives the same result as swapping column by column,
// at the cost of one pass over the buffer. The rows of the own window lie
// width samples apart, so they are found by arithmetic rather than through
// a table of 32768 pointers: that table would take 256 KiB of the stack of
// whatever thread of the host calls us.
void phase_matrix_flip_y(phase_matrix *m) {
  if (!m || m->height < 2 || m->width <= 0 || !holds_window(*m))
    return;
  const ptrdiff_t stride = m->width;
  for (int i = 0, j = m->height - 1; i < j; ++i, --j)
    std::swap_ranges(m->matrix + i * stride, m->matrix + (i + 1) * stride, m->matrix + j * stride);
}

uint16_t *matrix16_address(const matrix16 *m, int16_t x, int16_t y) {
  if (!m || !m->matrix)
    return nullptr;
  return m->matrix + static_cast<ptrdiff_t>(y - m->y) * m->width + (x - m->x);
}

// Mask rows are stored bottom-up: frame row y is the last row in memory.
uint8_t *mask_matrix_address(const mask_matrix *m, int16_t x, int16_t y) {
  if (!m || !m->matrix)
    return nullptr;
  const ptrdiff_t row = m->y + m->height - 1 - y;
  return m->matrix + row * ferry::mask_stride(m->width) + (x - m->x);
}

// For callers that know their window fits; the library's own aligned
// resizes use the checked form, which refuses an extent that would wrap.
window window_align4(window w) {
  ferry::Axis h = ferry::aligned_axis(w.x, w.width), v = ferry::aligned_axis(w.y, w.height);
  return window{static_cast<int16_t>(h.origin), static_cast<int16_t>(v.origin),
                static_cast<int16_t>(h.extent), static_cast<int16_t>(v.extent)};
}

bool is_multiple_of_4(int32_t n) {
  return (n & 3) == 0;
}

int copy_samples16(uint16_t *dst, const uint16_t *src, int32_t count) {
  if (dst && src && count > 0)
    std::memmove(dst, src, static_cast<size_t>(count) * sizeof(uint16_t));
  return 0;
}

} // extern "C"
