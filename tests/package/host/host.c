/* A host application in C, as a measurement program would link the
   library: it takes over the message and memory hooks, decodes the header
   of a binary data file that ferrycvt wrote with the library's own field
   table, and reads the phase array into the library's phase matrix. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/errors.h"
#include "base/hooks.h"
#include "datafile/data_file.h"
#include "datafile/matrix.h"

static long live_blocks;

static void *counting_malloc(size_t bytes) {
  void *block = malloc(bytes);
  if (block)
    live_blocks++;
  return block;
}

static void counting_free(void *block) {
  if (block)
    live_blocks--;
  free(block);
}

static int host_message(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("host message: ", stdout);
  int n = vprintf(format, args);
  va_end(args);
  return n;
}

/* A big-endian field of the file into a host-order value. */
static void take(void *value, const unsigned char *bytes, int n) {
  memcpy(value, bytes, (size_t)n);
  u_swap_bytes(value, n);
}

static int fail(const char *what, u_err_t err) {
  printf("%s: %s\n", what, u_error_name(err));
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: host data-file\n");
    return 2;
  }
  u_msg_hook = host_message;
  u_malloc_hook = counting_malloc;
  u_free_hook = counting_free;

  FILE *file = fopen(argv[1], "rb");
  unsigned char head[DATA_FILE_SHORT_HEADER_SIZE];
  if (!file || fread(head, 1, sizeof head, file) != sizeof head)
    return fail("reading the header", ERR_CANT_READ_FILE);

  uint32_t magic, header_size, phase_bytes;
  int16_t format;
  window w;
  take(&magic, head, 4);
  take(&format, head + 4, 2);
  take(&header_size, head + 6, 4);
  take(&w.x, head + 64, 2);
  take(&w.y, head + 66, 2);
  take(&w.width, head + 68, 2);
  take(&w.height, head + 70, 2);
  take(&phase_bytes, head + 72, 4);
  if (magic != DATA_FILE_MAGIC_FORMAT_1 || header_size != DATA_FILE_SHORT_HEADER_SIZE)
    return fail("checking the magic number", ERR_NOT_A_DATA_FILE);

  /* The record's fields from the library's table: numbers swapped as one
     unit, byte fields as they are. */
  data_header h;
  memset(&h, 0, sizeof h);
#define FERRY_HDR_I16(name, offset, bytes) take(&h.name, head + offset, 2);
#define FERRY_HDR_I32(name, offset, bytes) take(&h.name, head + offset, 4);
#define FERRY_HDR_F32(name, offset, bytes) take(&h.name, head + offset, 4);
#define FERRY_HDR_BYTES(name, offset, bytes) memcpy(h.name, head + offset, bytes);
#define FERRY_HDR_FIELD(kind, name, offset, bytes)                                                 \
  if (offset + bytes <= DATA_FILE_SHORT_HEADER_SIZE) {                                             \
    FERRY_HDR_##kind(name, offset, bytes)                                                          \
  }
#include "datafile/header_fields.inc"

  printf("magic_number 0x%08lX, header_format %d, header_size %lu\n", (unsigned long)magic,
         format, (unsigned long)header_size);
  printf("timestamp %ld\n", (long)h.timestamp);
  printf("comment \"%.*s\"\n", (int)sizeof h.comment, h.comment);
  printf("f32_at_176 %g\n", h.f32_at_176);
  printf("camera %d x %d\n", h.camera_width, h.camera_height);
  printf("phase window %d %d %d %d, %lu bytes\n", w.x, w.y, w.width, w.height,
         (unsigned long)phase_bytes);

  phase_matrix phase;
  phase_matrix_init(&phase);
  u_err_t err = phase_matrix_resize(&phase, &w, false);
  if (err)
    return fail("phase matrix", err);
  if (phase.size * 4 != phase_bytes || fread(phase.matrix, 4, phase.size, file) != phase.size)
    return fail("reading the phase array", ERR_CORRUPT_DATA_FILE);
  fclose(file);
  uint32_t valid = 0;
  for (uint32_t i = 0; i < phase.size; i++) {
    u_swap_bytes(&phase.matrix[i], 4);
    valid += phase.matrix[i] < PHASE_INVALID;
  }
  printf("phase samples %lu, valid %lu\n", (unsigned long)phase.size, (unsigned long)valid);
  printf("blocks live while the matrix is held: %ld\n", live_blocks);
  phase_matrix_free(&phase);

  /* A report of the library reaches the host's own hook. */
  u_error_report(ERR_NO_MEM);
  printf("blocks live at the end: %ld\n", live_blocks);
  return 0;
}
