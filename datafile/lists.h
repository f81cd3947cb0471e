#pragma once
// Sample lists: one-dimensional buffers of fixed-size elements, and the
// list of owned pointers.
//
// Several list types share one element size; they behave identically and
// differ only in what their elements mean to their users. Each keeps a type
// of its own so that a list of one meaning is never passed where another is
// expected. Where the meaning is known the element type says it (the 8-byte
// list of value pairs); otherwise the first list of a size keeps the plain
// name (list12) and its siblings carry a letter (list12b, list12c), with
// elements that are opaque bytes to this layer.
//
// A list is created cleared (init), allocated for the count its owner set
// (alloc), resized at will (resize, which keeps a larger buffer when asked)
// and released (free). Buffers come from the memory hooks.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Elements of the lists whose contents this layer does not interpret.
typedef struct list_elem12 {
  uint8_t bytes[12];
} list_elem12;
typedef struct list_elem8 {
  uint8_t bytes[8];
} list_elem8;

// Two measured values; a value equal to the largest finite float is missing.
typedef struct value_pair {
  float first;
  float second;
} value_pair;

// Every list: capacity (elements the buffer holds), count (elements in use,
// or asked for before alloc), data (the elements, or none).
#define FERRY_DECLARE_LIST(name, elem)                                                             \
  typedef struct name {                                                                            \
    uint32_t capacity;                                                                             \
    int32_t count;                                                                                 \
    elem *data;                                                                                    \
  } name;                                                                                          \
  FERRY_API void name##_init(name *l);                                                             \
  FERRY_API u_err_t name##_alloc(name *l);                                                         \
  FERRY_API u_err_t name##_resize(name *l, int32_t n, bool keep);                                  \
  FERRY_API void name##_free(name *l);

FERRY_DECLARE_LIST(list12, list_elem12)
FERRY_DECLARE_LIST(list12b, list_elem12)
FERRY_DECLARE_LIST(list12c, list_elem12)
FERRY_DECLARE_LIST(list8, value_pair)
FERRY_DECLARE_LIST(list8b, list_elem8)
FERRY_DECLARE_LIST(list8c, list_elem8)
FERRY_DECLARE_LIST(list4, int32_t)
FERRY_DECLARE_LIST(list4b, int32_t)
FERRY_DECLARE_LIST(list2, int16_t)
FERRY_DECLARE_LIST(list1, uint8_t)

// A list of count owned items, each a separate block from the memory hooks
// or none.
typedef struct pointer_list {
  int32_t count;
  void **data;
} pointer_list;

// count slots, all none: 0, ERR_PARAM_OUT_OF_RANGE (count < 1), ERR_NO_MEM
// (count becomes 0).
FERRY_API u_err_t pointer_list_alloc(pointer_list *l);
// Gives back every item that is set, then the slots; count becomes 0.
FERRY_API void pointer_list_free(pointer_list *l);

#ifdef __cplusplus
}
#endif
