#pragma once
// File times facility: a file's modification and change times to the finest
// step the system keeps, and its size, so that a reader can tell whether a
// file it loaded has changed since, even within the same second.

#include <stdbool.h>
#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct plat_file_stamp {
  // Nanoseconds since 1970 (POSIX) or since 1601 (Windows); only compared.
  int64_t modified_ns;
  // Status change on POSIX; the change time of the file's attributes or
  // data on Windows (its last write time where the system keeps none).
  int64_t changed_ns;
  uint64_t size;
} plat_file_stamp;

// The stamp of the file at a byte path; false when it cannot be examined.
FERRY_API bool plat_file_stamp_of(const char *path, plat_file_stamp *stamp);

// True when two stamps are the same in every field.
static inline bool plat_file_stamp_equal(const plat_file_stamp *a, const plat_file_stamp *b) {
  return a->modified_ns == b->modified_ns && a->changed_ns == b->changed_ns && a->size == b->size;
}

#ifdef __cplusplus
}
#endif
