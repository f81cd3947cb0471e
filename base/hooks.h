#pragma once
// Process-wide hooks of the library: where its messages go, where its memory
// comes from, and how long waits learn that they should give up.
//
// All hooks hold working defaults from program start (before main runs). A
// host replaces them once, before it calls the library from several threads.

#include <stddef.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// printf-style output of every library message. Never null.
typedef int (*u_msg_fn)(const char *format, ...);
FERRY_API extern u_msg_fn u_msg_hook;

// Memory of the library's own buffers and records. A null result is
// reported by the caller as ERR_NO_MEM.
typedef void *(*u_malloc_fn)(size_t bytes);
typedef void *(*u_realloc_fn)(void *block, size_t bytes);
typedef void *(*u_calloc_fn)(size_t count, size_t size);
typedef void (*u_free_fn)(void *block);
FERRY_API extern u_malloc_fn u_malloc_hook;
FERRY_API extern u_realloc_fn u_realloc_hook;
FERRY_API extern u_calloc_fn u_calloc_hook;
FERRY_API extern u_free_fn u_free_hook;

// Asked by long waits with 0; a nonzero answer ends the wait with
// ERR_FERNHALL_ABORTED. Default: never abort.
typedef int (*u_abort_fn)(int);
FERRY_API extern u_abort_fn u_abort_hook;

// Called by polling loops after every pause. Default: does nothing.
typedef void (*u_idle_fn)(void);
FERRY_API extern u_idle_fn u_idle_hook;

// The defaults, so a host (or a test) can put them back.
FERRY_API int u_abort_never(int);
FERRY_API void u_idle_nothing(void);
FERRY_API void u_restore_memory_hooks(void);

#ifdef __cplusplus
}

#include <cstring>
#include <utility>

namespace ferry {

// A buffer of `count` elements taken through u_malloc_hook and given back
// through u_free_hook when it goes out of scope, unless released to a new
// owner. Empty when the hook returned none.
template <typename T> class HookBuffer {
public:
  HookBuffer() = default;
  explicit HookBuffer(size_t count) : data_(static_cast<T *>(u_malloc_hook(count * sizeof(T)))) {}
  HookBuffer(const HookBuffer &) = delete;
  HookBuffer &operator=(const HookBuffer &) = delete;
  HookBuffer(HookBuffer &&other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
  HookBuffer &operator=(HookBuffer &&other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
    }
    return *this;
  }
  ~HookBuffer() { reset(); }

  explicit operator bool() const { return data_ != nullptr; }
  T *get() const { return data_; }
  T &operator[](size_t i) const { return data_[i]; }
  T *release() { return std::exchange(data_, nullptr); }
  void reset() {
    if (data_)
      u_free_hook(data_);
    data_ = nullptr;
  }

private:
  T *data_ = nullptr;
};

// Gives a hook-allocated block back and clears the owner's pointer.
template <typename T> void hook_free(T *&block) {
  if (block)
    u_free_hook(const_cast<void *>(static_cast<const void *>(block)));
  block = nullptr;
}

} // namespace ferry
#endif
