#pragma once
// Ramp section of the instrument's system information.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sys_info_ramps {
  int32_t unused_placeholder;
} sys_info_ramps;

#ifdef __cplusplus
}
#endif
