#pragma once
// Data-set matrices: windows cut from a camera frame and the sample buffers
// that carry them.
//
// Every descriptor is created cleared, owns its buffer exclusively, and
// takes it from (and gives it back to) the memory hooks.

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "base/errors.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Any phase sample of at least this value means "no valid phase";
// operations that must invent a sample write exactly this value.
#define PHASE_INVALID ((int32_t)0x7FFFFFF8)

// Rows a row table needs for every height a signed 16-bit window can have.
enum { MATRIX_MAX_ROWS = 32768 };

typedef struct window {
  int16_t x, y, width, height;
} window;

typedef struct phase_matrix {
  uint32_t size;
  int16_t x, y, width, height;
  int32_t *matrix;
} phase_matrix;

typedef struct intensity_matrix {
  uint32_t size;
  int16_t x, y, width, height;
  int16_t n_buckets;
  int16_t aux;
  uint16_t *matrix;
} intensity_matrix;

// Rows are stride bytes apart (width rounded up to a multiple of 4) and
// stored bottom-up.
typedef struct mask_matrix {
  uint32_t size;
  int16_t x, y, width, height;
  uint8_t bits;
  uint8_t *matrix;
} mask_matrix;

typedef struct matrix16 {
  uint32_t size;
  int16_t x, y, width, height;
  uint16_t *matrix;
} matrix16;

typedef struct matrix32 {
  uint32_t size;
  int16_t x, y, width, height;
  int32_t *matrix;
} matrix32;

typedef struct matrix64 {
  uint32_t size;
  int16_t x, y, width, height;
  int64_t *matrix;
} matrix64;

typedef struct grid32 {
  uint32_t size;
  int16_t width, height;
  int32_t *samples;
} grid32;

typedef struct bucket_matrix {
  int32_t alloc_size;
  struct window alloc_win;
  int32_t alloc_blocks;
  int32_t alloc_blocksize;
  int32_t alloc_elem_size;
  int32_t table_capacity;
  int32_t separate_blocks;
  int32_t elem_size;
  int32_t elem_res;
  int32_t size;
  int32_t blocksize;
  int32_t n_blocks;
  // The member named window hides the type in C++, hence the struct tag
  // wherever this record names the type.
  struct window window;
  struct window stored;
  uint8_t *matrix;
  uint8_t **blocks;
  int32_t qsize;
  int16_t n_buckets;
} bucket_matrix;

// Windowed matrices: init clears; alloc takes a buffer for the current
// window; resize makes the descriptor describe a window, keeping a larger
// buffer when keep allows; free gives the buffer back.
//
// A window with a negative extent (or bucket count), or one whose sample
// count does not fit the 32-bit size, is refused with
// ERR_PARAM_OUT_OF_RANGE before anything changes; so is an aligned resize
// whose widened extent would not fit 16 bits. A null descriptor is
// ERR_INVALID_PARAM.
FERRY_API void phase_matrix_init(phase_matrix *m);
FERRY_API u_err_t phase_matrix_alloc(phase_matrix *m);
FERRY_API u_err_t phase_matrix_resize(phase_matrix *m, const window *w, bool keep);
FERRY_API u_err_t phase_matrix_align4_resize(phase_matrix *m);
FERRY_API void phase_matrix_free(phase_matrix *m);
// rows receives sub->height pointers (sub null: the matrix's own window).
FERRY_API void phase_matrix_row_table(const phase_matrix *m, const window *sub, int32_t **rows);
// Reverses the row order in place; allocates nothing. A descriptor whose
// buffer cannot hold its window is left alone.
FERRY_API void phase_matrix_flip_y(phase_matrix *m);

FERRY_API void intensity_matrix_init(intensity_matrix *m);
FERRY_API u_err_t intensity_matrix_alloc(intensity_matrix *m);
FERRY_API u_err_t intensity_matrix_resize(intensity_matrix *m, const window *w, int16_t n_buckets,
                                          bool keep);
FERRY_API void intensity_matrix_free(intensity_matrix *m);

FERRY_API void mask_matrix_init(mask_matrix *m);
FERRY_API u_err_t mask_matrix_alloc(mask_matrix *m);
FERRY_API u_err_t mask_matrix_resize(mask_matrix *m, const window *w, bool keep);
FERRY_API void mask_matrix_free(mask_matrix *m);
FERRY_API uint8_t *mask_matrix_address(const mask_matrix *m, int16_t x, int16_t y);

FERRY_API void matrix16_init(matrix16 *m);
FERRY_API u_err_t matrix16_alloc(matrix16 *m);
FERRY_API u_err_t matrix16_resize(matrix16 *m, const window *w, bool keep);
FERRY_API void matrix16_free(matrix16 *m);
FERRY_API uint16_t *matrix16_address(const matrix16 *m, int16_t x, int16_t y);

FERRY_API void matrix32_init(matrix32 *m);
FERRY_API u_err_t matrix32_alloc(matrix32 *m);
FERRY_API u_err_t matrix32_alloc_zeroed(matrix32 *m);
FERRY_API u_err_t matrix32_resize(matrix32 *m, const window *w, bool keep);
FERRY_API void matrix32_free(matrix32 *m);

FERRY_API void matrix64_init(matrix64 *m);
FERRY_API u_err_t matrix64_alloc(matrix64 *m);
FERRY_API u_err_t matrix64_alloc_zeroed(matrix64 *m);
FERRY_API u_err_t matrix64_resize(matrix64 *m, const window *w, bool keep);
FERRY_API u_err_t matrix64_align4_resize(matrix64 *m);
FERRY_API void matrix64_free(matrix64 *m);

FERRY_API u_err_t grid32_alloc(grid32 *g);
FERRY_API u_err_t grid32_resize(grid32 *g, int16_t width, int16_t height, bool keep);
FERRY_API void grid32_free(grid32 *g);

// Block sizes are 32-bit: a shape whose bytes do not fit them is refused
// with ERR_PARAM_OUT_OF_RANGE.
FERRY_API u_err_t bucket_matrix_alloc(bucket_matrix *b, const window *w, int32_t n_blocks,
                                      int32_t elem_size, int32_t elem_res);
FERRY_API u_err_t bucket_matrix_resize(bucket_matrix *b, const window *w, int32_t n_blocks,
                                       bool keep);
FERRY_API u_err_t bucket_matrix_realloc(bucket_matrix *b);
FERRY_API u_err_t bucket_matrix_realloc_qsize(bucket_matrix *b);
FERRY_API void bucket_matrix_clear(bucket_matrix *b);
FERRY_API void bucket_matrix_free(bucket_matrix *b);
FERRY_API void bucket_matrix_row_table(const bucket_matrix *b, const window *sub, int32_t block,
                                       uint8_t **rows);

// One block of count row pointers followed by count rows of a*b bytes;
// null when refused or out of memory. Given back with u_free_hook.
FERRY_API void **row_block_alloc(int32_t count, int32_t a, int32_t b);
FERRY_API void **row_block_alloc_total(int32_t count, int32_t a, int32_t b);

// The window widened to multiples of 4 on both axes (always contains it).
FERRY_API window window_align4(window w);
FERRY_API bool is_multiple_of_4(int32_t n);
FERRY_API int copy_samples16(uint16_t *dst, const uint16_t *src, int32_t count);

// CRC-32 (reflected 0xEDB88320, initial 0, no final inversion) of the dump
// printers' checksum lines.
FERRY_API uint32_t dump_crc32(const void *bytes, size_t count);

FERRY_API void window_dump(FILE *stream, const window *w);
FERRY_API void matrix16_dump(FILE *stream, const matrix16 *m);
FERRY_API void intensity_matrix_dump(FILE *stream, const intensity_matrix *m);
FERRY_API void matrix32_dump(FILE *stream, const matrix32 *m);
FERRY_API void mask_matrix_dump(FILE *stream, const mask_matrix *m);
FERRY_API void bucket_matrix_dump(FILE *stream, const bucket_matrix *b);

#ifdef __cplusplus
}
#endif
