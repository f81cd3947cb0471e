#include "base/hooks.h"

#include <cstdlib>

#include "base/console.h"

// Plain constant initialisation: the hooks are valid before any constructor
// of any translation unit runs.
u_msg_fn u_msg_hook = u_msg_stderr;
u_malloc_fn u_malloc_hook = std::malloc;
u_realloc_fn u_realloc_hook = std::realloc;
u_calloc_fn u_calloc_hook = std::calloc;
u_free_fn u_free_hook = std::free;
u_abort_fn u_abort_hook = u_abort_never;
u_idle_fn u_idle_hook = u_idle_nothing;

extern "C" int u_abort_never(int) { return 0; }
extern "C" void u_idle_nothing(void) {}

extern "C" void u_restore_memory_hooks(void) {
  u_malloc_hook = std::malloc;
  u_realloc_hook = std::realloc;
  u_calloc_hook = std::calloc;
  u_free_hook = std::free;
}
