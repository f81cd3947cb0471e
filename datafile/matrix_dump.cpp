// Text dumps of windows and matrices for diagnosis, with a checksum of the
// samples so that two dumps can be compared without printing the data.

#include <array>
#include <cstdint>

#include "base/console.h"
#include "datafile/dump_support_internal.h"
#include "datafile/matrix.h"

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr auto kCrcTable = make_crc_table();

uint32_t crc_update(uint32_t crc, const void *bytes, size_t count) {
  const auto *p = static_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < count; ++i)
    crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// The low 32 bits of an address, as the dumps print it.
unsigned address_bits(const void *p) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu);
}

void print_window(FILE *stream, int16_t x, int16_t y, int16_t width, int16_t height) {
  u_msg_file(stream, "x      = %4d\n", x);
  u_msg_file(stream, "y      = %4d\n", y);
  u_msg_file(stream, "width  = %4d\n", width);
  u_msg_file(stream, "height = %4d\n", height);
}

void print_bracketed_window(FILE *stream, const char *name, const window &w) {
  u_msg_file(stream, "[ %s\n", name);
  window_dump(stream, &w);
  u_msg_file(stream, "] %s\n", name);
}

// The checksum line covers the window's samples; a window the buffer does
// not hold is not read.
template <typename M> void print_sample_matrix(FILE *stream, const M *m) {
  if (ferry::print_null_if_missing(stream, m))
    return;
  u_msg_file(stream, "size   = %d\n", static_cast<int>(m->size));
  print_window(stream, m->x, m->y, m->width, m->height);
  u_msg_file(stream, "matrix = 0x%8.8X\n", address_bits(m->matrix));
  const int64_t samples = static_cast<int64_t>(m->width) * m->height;
  if (m->matrix && samples > 0 && samples <= m->size)
    u_msg_file(stream, "crc    = 0x%8.8X\n",
               dump_crc32(m->matrix, static_cast<size_t>(samples) * sizeof *m->matrix));
}

// The checksum covers n_blocks x blocksize bytes of the blocks taken one
// after another at their allocated size, which is the same range in both
// forms: the leading bytes of the one buffer, or of the separate blocks in
// order.
uint32_t bucket_crc(const bucket_matrix &b, size_t bytes) {
  if (!b.separate_blocks)
    return crc_update(0, b.matrix, bytes);
  uint32_t crc = 0;
  const size_t block = static_cast<size_t>(b.alloc_blocksize);
  for (int32_t i = 0; bytes > 0 && i < b.alloc_blocks; ++i) {
    size_t n = bytes < block ? bytes : block;
    crc = crc_update(crc, b.blocks[i], n);
    bytes -= n;
  }
  return crc;
}

} // namespace

extern "C" {

uint32_t dump_crc32(const void *bytes, size_t count) {
  return bytes ? crc_update(0, bytes, count) : 0;
}

void window_dump(FILE *stream, const window *w) {
  print_window(stream, w->x, w->y, w->width, w->height);
}

void matrix16_dump(FILE *stream, const matrix16 *m) {
  print_sample_matrix(stream, m);
}
void intensity_matrix_dump(FILE *stream, const intensity_matrix *m) {
  print_sample_matrix(stream, m);
}
void matrix32_dump(FILE *stream, const matrix32 *m) {
  print_sample_matrix(stream, m);
}

void mask_matrix_dump(FILE *stream, const mask_matrix *m) {
  if (ferry::print_null_if_missing(stream, m))
    return;
  u_msg_file(stream, "size = %d\n", static_cast<int>(m->size));
  print_window(stream, m->x, m->y, m->width, m->height);
  u_msg_file(stream, "matrix = 0x%8.8X\n", address_bits(m->matrix));
  u_msg_file(stream, "bits = %#2.2x\n", m->bits);
}

void bucket_matrix_dump(FILE *stream, const bucket_matrix *b) {
  if (ferry::print_null_if_missing(stream, b))
    return;
  u_msg_file(stream, "alloc_size       = %d\n", b->alloc_size);
  print_bracketed_window(stream, "alloc_win", b->alloc_win);
  u_msg_file(stream, "alloc_blocks     = %d\n", b->alloc_blocks);
  u_msg_file(stream, "alloc_blocksize  = %d\n", b->alloc_blocksize);
  u_msg_file(stream, "alloc_elem_size  = %d\n", b->alloc_elem_size);
  u_msg_file(stream, "elem_size        = %d\n", b->elem_size);
  u_msg_file(stream, "elem_res         = %d\n", b->elem_res);
  u_msg_file(stream, "size             = %d\n", b->size);
  u_msg_file(stream, "blocksize        = %d\n", b->blocksize);
  u_msg_file(stream, "n_blocks         = %d\n", b->n_blocks);
  print_bracketed_window(stream, "window", b->window);
  print_bracketed_window(stream, "stored", b->stored);
  u_msg_file(stream, "matrix           = 0x%8.8X\n", address_bits(b->matrix));
  u_msg_file(stream, "qsize            = %d\n", b->qsize);
  u_msg_file(stream, "n_buckets        = %d\n", b->n_buckets);
  const int64_t bytes = static_cast<int64_t>(b->n_blocks) * b->blocksize;
  const int64_t held = b->separate_blocks
                           ? static_cast<int64_t>(b->alloc_blocks) * b->alloc_blocksize
                           : b->alloc_size;
  if (b->matrix && bytes > 0 && bytes <= held && (!b->separate_blocks || b->blocks))
    u_msg_file(stream, "crc    = 0x%8.8X\n", bucket_crc(*b, static_cast<size_t>(bytes)));
}

} // extern "C"
