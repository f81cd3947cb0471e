#include "platform/memory.h"

// Large pages on Windows need a privilege that console users do not hold;
// the heap's own behaviour is the best we can ask for.
extern "C" void plat_advise_large_buffer(void *, size_t) {}
