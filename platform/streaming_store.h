#pragma once
// Stores that pass the cache by, for filling buffers far larger than the
// cache that will not be read again soon: the processor then writes the
// lines out without first reading them in. Ordinary stores on processors
// without such stores.

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ferry {

// Writes the 16 bytes at src to dst, which is aligned to 16.
inline void stream_16_bytes(void *dst, const void *src) {
#if defined(__SSE2__)
  _mm_stream_si128(static_cast<__m128i *>(dst), _mm_loadu_si128(static_cast<const __m128i *>(src)));
#else
  std::memcpy(dst, src, 16);
#endif
}

// Orders the streamed stores before every later store, as ordinary stores
// are ordered, so a buffer filled this way may be handed to another thread.
inline void stream_fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

} // namespace ferry
