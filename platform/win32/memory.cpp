#include "platform/memory.h"

// Large pages on Windows need a privilege that console users do not hold;
// the heap's own behaviour is the best we can ask for.
extern "C" void plat_advise_large_buffer(void *, size_t) {}

// Windows has no way to fault in fresh pages without touching them, and
// touching them beside the caller's filling would race with it.
extern "C" plat_buffer_warmer *plat_warm_large_buffer(void *, size_t, bool) {
  return nullptr;
}

extern "C" void plat_warm_finish(plat_buffer_warmer *) {}
