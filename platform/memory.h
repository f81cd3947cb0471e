#pragma once
// Memory facility: hints about how the library will use large buffers.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Tells the system that a large buffer about to be filled would rather be
// backed by huge pages: a 256 MiB sample array otherwise costs tens of
// thousands of page faults, which dominate a conversion. Only a hint; does
// nothing where the system has no such notion or the buffer is small.
void plat_advise_large_buffer(void *block, size_t bytes);

#ifdef __cplusplus
}
#endif
