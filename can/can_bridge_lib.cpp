#include "can/can_bridge_lib.h"

#include <atomic>
#include <mutex>
#include <new>

#include "base/hooks.h"
#include "platform/dynlib.h"

namespace {

// Answers of a library that is not there: every call is "not connected".
#define CAN_BRIDGE_STUB(name, params, args)                                                        \
  int32_t missing_##name params {                                                                  \
    return CAN_LIB_NOT_CONNECTED;                                                                  \
  }
CAN_BRIDGE_ENTRY_POINTS(CAN_BRIDGE_STUB)
#undef CAN_BRIDGE_STUB

constexpr can_bridge_lib kMissing = {
#define CAN_BRIDGE_MISSING(name, params, args) missing_##name,
    CAN_BRIDGE_ENTRY_POINTS(CAN_BRIDGE_MISSING)
#undef CAN_BRIDGE_MISSING
};

// A loaded module and what was bound from it. Kept for the life of the
// process, so a thread still calling through an old table after a rebind
// reads memory that stays as it was.
struct Bound {
  plat_dynlib *module;
  can_bridge_lib table;
  Bound *older;
};

struct Binding {
  std::mutex lock;
  // The table callers use: null until bound (or found missing).
  std::atomic<const can_bridge_lib *> current{nullptr};
  // The module of the current binding, then every earlier one.
  Bound *bound = nullptr;
  bool rebind = true;
};

// Never destroyed: the library's own thread may call in while the process
// runs its exit handlers.
Binding &binding() {
  static Binding *record = new Binding;
  return *record;
}

template <typename Fn> bool bind_symbol(plat_dynlib *module, const char *name, Fn &slot) {
  void *symbol = plat_dynlib_symbol(module, name);
  if (!symbol) {
    u_msg_hook("CAN bridge library %s has no entry point %s\n", CAN_BRIDGE_LIB_NAME, name);
    return false;
  }
  slot = reinterpret_cast<Fn>(symbol);
  return true;
}

// Binds every entry point, or none: a half-bound library would answer some
// calls for a bridge it never connected.
const can_bridge_lib *bind_library(Binding &b) {
  if (b.rebind) {
    plat_dynlib *module = plat_dynlib_load(CAN_BRIDGE_LIB_NAME);
    if (!module) {
      char reason[256];
      plat_dynlib_error_text(reason, sizeof reason);
      u_msg_hook("Cannot load CAN bridge library %s: %s\n", CAN_BRIDGE_LIB_NAME, reason);
      return &kMissing;
    }
    auto *bound = new (std::nothrow) Bound{module, kMissing, b.bound};
    if (!bound) {
      plat_dynlib_unload(module);
      u_msg_hook("Cannot load CAN bridge library %s: out of memory\n", CAN_BRIDGE_LIB_NAME);
      return &kMissing;
    }
    b.bound = bound;
    b.rebind = false;
  }
  can_bridge_lib found = kMissing;
  bool complete = true;
#define CAN_BRIDGE_BIND(name, params, args)                                                        \
  complete = complete && bind_symbol(b.bound->module, #name, found.name);
  CAN_BRIDGE_ENTRY_POINTS(CAN_BRIDGE_BIND)
#undef CAN_BRIDGE_BIND
  if (!complete)
    return &kMissing;
  b.bound->table = found;
  return &b.bound->table;
}

} // namespace

extern "C" const can_bridge_lib *can_lib(void) {
  Binding &b = binding();
  if (const can_bridge_lib *table = b.current.load(std::memory_order_acquire))
    return table;
  std::lock_guard guard(b.lock);
  const can_bridge_lib *table = b.current.load(std::memory_order_relaxed);
  if (!table) {
    table = bind_library(b);
    b.current.store(table, std::memory_order_release);
  }
  return table;
}

extern "C" bool can_lib_available(void) {
  return can_lib() != &kMissing;
}

extern "C" void can_lib_rebind(void) {
  Binding &b = binding();
  std::lock_guard guard(b.lock);
  b.current.store(nullptr, std::memory_order_release);
  // The next binding loads from the library folder of that time; the old
  // module keeps its reference and stays loaded.
  b.rebind = true;
}
