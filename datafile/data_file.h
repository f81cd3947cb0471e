#pragma once
// The binary data file: a big-endian header of 834 or 4096 bytes, then the
// optional intensity array, then the optional phase array.

#include <stdint.h>
#include <stdio.h>

#include "base/errors.h"
#include "datafile/matrix.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The magic numbers lie beyond the int range that a C enumerator may hold.
#define DATA_FILE_MAGIC_FORMAT_1 0x881B036Fu
#define DATA_FILE_MAGIC_FORMAT_2 0x881B0370u
#define DATA_FILE_MAGIC_FORMAT_3 0x881B0371u

enum {
  DATA_FILE_SHORT_HEADER_SIZE = 834,
  DATA_FILE_LONG_HEADER_SIZE = 4096,
  // Offset of the first field of the header record.
  DATA_FILE_RECORD_OFFSET = 76,
  // Offset of the first field that only the 4096-byte header stores and
  // whose contents select it.
  DATA_FILE_EXTENDED_OFFSET = 838
};

// The header fields from offset 76 on, in file order, in host byte order.
// A cleared record is a valid header.
typedef struct data_header {
#define FERRY_HDR_I16(name, bytes) int16_t name;
#define FERRY_HDR_I32(name, bytes) int32_t name;
#define FERRY_HDR_F32(name, bytes) float name;
#define FERRY_HDR_BYTES(name, bytes) char name[bytes];
#define FERRY_HDR_FIELD(kind, name, offset, bytes) FERRY_HDR_##kind(name, bytes)
#include "datafile/header_fields.inc"
#undef FERRY_HDR_FIELD
#undef FERRY_HDR_BYTES
#undef FERRY_HDR_F32
#undef FERRY_HDR_I32
#undef FERRY_HDR_I16
} data_header;

// Offsets 10-47 of the file.
typedef struct data_prefix {
  int16_t prefix_code;
  char prefix_text[30];
  int16_t prefix_value_1;
  int16_t prefix_value_2;
  int16_t prefix_value_3;
} data_prefix;

// Writes a binary data file at path (byte path, or a UTF-16 path after a
// byte-order mark). Every argument may be null except that at least one of
// the matrices must hold samples.
//
// ERR_CANT_CREATE_FILE: the file cannot be opened (or path is null).
// ERR_INVALID_PARAM: no matrix holds samples, a window has a negative
// extent, a buffer holds fewer samples than its window, or an array's byte
// count does not fit its 32-bit header field; nothing is written then.
// ERR_CANT_WRITE_FILE: a seek, a write or the final close fails.
// ERR_NO_MEM: no work buffer.
FERRY_API u_err_t write_data_file(const char *path, const data_prefix *prefix,
                                  const data_header *header, const intensity_matrix *intensity,
                                  const phase_matrix *phase);

// Appends one binary data file to an open stream.
FERRY_API u_err_t write_data_stream(FILE *stream, const data_prefix *prefix,
                                    const data_header *header, const intensity_matrix *intensity,
                                    const phase_matrix *phase);

// Writes count 16-bit samples big-endian in chunks of 32768 through one
// 65536-byte work buffer (taken even for a count of 0). Null samples or
// stream with a nonzero count: ERR_INVALID_PARAM.
FERRY_API u_err_t write_samples16(const uint16_t *samples, uint32_t count, FILE *stream);

// Reverses n (2, 4 or 8) bytes in place. Any other n is a programming
// error: it is reported through the message hook and the process aborts.
FERRY_API void u_swap_bytes(void *p, int n);

#ifdef __cplusplus
}
#endif
