#pragma once
// Memory facility: hints about how the library will use large buffers.

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Tells the system that a large buffer about to be filled would rather be
// backed by huge pages: a 256 MiB sample array otherwise costs tens of
// thousands of page faults, which dominate a conversion. Only a hint; does
// nothing where the system has no such notion or the buffer is small.
void plat_advise_large_buffer(void *block, size_t bytes);

// Readies the pages of a large buffer that the caller is about to fill, on
// another core: the system's cost of first touch (finding and clearing the
// memory) then runs beside the caller's filling instead of inside it.
// from_end tells that the caller fills the buffer from its end. The pages'
// contents are never touched. Null when there is nothing to gain (a small
// buffer, one core, a system without the means); the buffer works the same
// either way.
typedef struct plat_buffer_warmer plat_buffer_warmer;
plat_buffer_warmer *plat_warm_large_buffer(void *block, size_t bytes, bool from_end);
// Ends the readying (at once if the caller has overtaken it) and frees the
// record; null is ignored. Call it before the buffer is freed.
void plat_warm_finish(plat_buffer_warmer *warmer);

#ifdef __cplusplus
}

#include <memory>

namespace ferry {

// A readying of a buffer's pages that ends when it goes out of scope.
struct WarmerFinisher {
  void operator()(plat_buffer_warmer *warmer) const { plat_warm_finish(warmer); }
};
using BufferWarming = std::unique_ptr<plat_buffer_warmer, WarmerFinisher>;

} // namespace ferry
#endif
