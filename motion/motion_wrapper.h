#pragma once
// Binding of the motion wrapper library (MotionWrapperInterface.dll): its
// entry points, bound one by one at run time.

#include <stdbool.h>
#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// True when a connection of the library has an event waiting.
typedef int32_t (*HasEvent_MWI_fn)(int32_t connection);

// The entry-point table: one slot per entry point, empty (null) while no
// library is bound.
typedef struct mc_mwi_table {
  HasEvent_MWI_fn HasEvent_MWI;
} mc_mwi_table;

FERRY_API extern mc_mwi_table mc_mwi;

// True while a library is bound.
FERRY_API bool mc_mwi_is_bound(void);

#ifdef __cplusplus
}
#endif
