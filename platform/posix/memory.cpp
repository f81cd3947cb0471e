#include "platform/memory.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/sync.h"

// Faults pages in writable without touching their contents (Linux 5.14).
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

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

#ifdef MADV_POPULATE_WRITE

struct plat_buffer_warmer {
  uintptr_t start;
  uintptr_t end;
  bool from_end;
  std::atomic<bool> stop{false};
  plat_thread *thread = nullptr;
};

namespace {

// Steps small enough to stay ahead of the filling from the start, large
// enough that the system call costs nothing.
constexpr uintptr_t kWarmStep = 4 * kHugePage;

void warm_pages(void *record) {
  auto *warmer = static_cast<plat_buffer_warmer *>(record);
  uintptr_t done = 0;
  const uintptr_t total = warmer->end - warmer->start;
  while (done < total && !warmer->stop.load(std::memory_order_relaxed)) {
    uintptr_t length = total - done < kWarmStep ? total - done : kWarmStep;
    uintptr_t at = warmer->from_end ? warmer->end - done - length : warmer->start + done;
    // A system without the call refuses the first step; the filling then
    // finds its pages itself, as it would anyway.
    if (madvise(reinterpret_cast<void *>(at), length, MADV_POPULATE_WRITE) != 0)
      return;
    done += length;
  }
}

} // namespace

extern "C" plat_buffer_warmer *plat_warm_large_buffer(void *block, size_t bytes, bool from_end) {
  if (!block || bytes < kWorthAdvising || sysconf(_SC_NPROCESSORS_ONLN) < 2)
    return nullptr;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  // Whole pages inside the block only: the pages it shares with its
  // neighbours are the allocator's.
  uintptr_t start = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(page - 1);
  if (end <= start)
    return nullptr;
  auto *warmer = new (std::nothrow) plat_buffer_warmer{start, end, from_end};
  if (!warmer)
    return nullptr;
  warmer->thread = plat_thread_start(warm_pages, warmer);
  if (!warmer->thread) {
    delete warmer;
    return nullptr;
  }
  return warmer;
}

extern "C" void plat_warm_finish(plat_buffer_warmer *warmer) {
  if (!warmer)
    return;
  warmer->stop.store(true, std::memory_order_relaxed);
  plat_thread_join(warmer->thread);
  delete warmer;
}

#else

extern "C" plat_buffer_warmer *plat_warm_large_buffer(void *, size_t, bool) {
  return nullptr;
}

extern "C" void plat_warm_finish(plat_buffer_warmer *) {}

#endif
