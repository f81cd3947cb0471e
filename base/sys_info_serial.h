#pragma once
// Serial-protocol section of the instrument's system information.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sys_info_serial {
  int32_t unused_placeholder;
} sys_info_serial;

#ifdef __cplusplus
}
#endif
