#include "platform/memory.h"

#include <cstdint>
#include <sys/mman.h>

namespace {

// The huge-page size of x86-64 and of most 64-bit ARM systems; a region
// smaller than a few of them gains nothing.
constexpr uintptr_t kHugePage = 2u << 20;
constexpr size_t kWorthAdvising = 4 * kHugePage;

} // namespace

extern "C" void plat_advise_large_buffer(void *block, size_t bytes) {
#ifdef MADV_HUGEPAGE
  if (!block || bytes < kWorthAdvising)
    return;
  // Only whole huge pages inside the block are advised; the block itself
  // may start anywhere.
  uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
  if (end > start)
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}
