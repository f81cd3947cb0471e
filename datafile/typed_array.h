#pragma once
// Self-describing typed vectors and two-dimensional typed arrays: they carry
// their element type and a buffer holding the type's no-value marker.
//
// Records exist only between a successful create and their destroy, which
// gives back every buffer and the record itself. Creators return none for
// an empty shape, an unknown type code or exhausted memory, and then leave
// nothing allocated.

#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Element type codes and, after each, its no-value marker.
enum typed_type {
  TYPED_S8 = 0,    // 0x7F
  TYPED_U8 = 1,    // 0xFF
  TYPED_S16 = 2,   // 0x7FFF
  TYPED_U16 = 3,   // 0xFFFF
  TYPED_S32 = 4,   // 0x7FFFFFFF
  TYPED_U32 = 5,   // 0xFFFFFFFF
  TYPED_S32_B = 6, // 0x7FFFFFFF; a second code for signed 32-bit elements
  TYPED_U32_B = 7, // 0xFFFFFFFF; a second code for unsigned 32-bit elements
  TYPED_F32 = 8,   // the largest finite float
  TYPED_F64 = 9,   // positive infinity
  TYPED_TYPE_COUNT = 10
};

typedef struct typed_vector {
  void *data;
  uint32_t type;
  uint64_t count;
  void *no_value; // one element holding the type's marker
  uint8_t flag;   // cleared at creation; meaning left to the owner
  uint64_t length;
  uint64_t elem_size;
} typed_vector;

typedef struct typed_array2d {
  void **rows; // row i points at data + i * width * elem_size
  uint32_t type;
  int16_t x, y, width, height;
  uint64_t count;
  void *no_value;
  uint8_t flag;
  void *data;
  uint64_t length;
  uint64_t elem_size;
} typed_array2d;

// Bytes per element of a type code, 0 for a code the records refuse.
FERRY_API uint64_t typed_elem_size(uint32_t type);

FERRY_API typed_vector *typed_vector_create(uint64_t n, uint32_t type);
FERRY_API typed_vector *typed_vector_create_zeroed(uint64_t n, uint32_t type);
FERRY_API void typed_vector_destroy(typed_vector *v);

// width and height must be 1 to 32767 (the window holds signed 16-bit
// values); anything else gives none.
FERRY_API typed_array2d *typed_array2d_create(int32_t width, int32_t height, uint32_t type);
FERRY_API typed_array2d *typed_array2d_create_zeroed(int32_t width, int32_t height, uint32_t type);
FERRY_API void typed_array2d_destroy(typed_array2d *a);

#ifdef __cplusplus
}
#endif
