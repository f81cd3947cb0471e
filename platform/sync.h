#pragma once
// Synchronisation facility: events, threads and the machine-wide lock.
//
// Events behave as Win32 events do: a manual-reset event stays signalled
// until it is reset; an auto-reset event lets one waiter through and resets
// itself. A named event lives in a registry of this process: creating or
// opening the name again gives another reference to the same object, which
// goes when its last reference is closed. Names are private to the process
// on every system, so two host processes never share a handshake or a lock.
// The machine-wide lock is the one object that other processes see.
//
// Every timed wait is scaled by plat_scaled_ms (platform/clock.h), so tests
// run the library's time-outs in a fraction of their time.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct plat_event plat_event;
typedef struct plat_thread plat_thread;
typedef struct plat_machine_lock plat_machine_lock;

// Results of the waits.
enum { PLAT_WAIT_SIGNALLED = 0, PLAT_WAIT_TIMEOUT = 1, PLAT_WAIT_FAILED = 2 };

// A time-out that never ends (not scaled).
#define PLAT_WAIT_FOREVER 0xFFFFFFFFu

// Creates an event. With a name, an event of that name that exists already
// is found instead (the flags are then ignored); *existed (may be null)
// tells which happened. Null when the system has no resources left.
FERRY_API plat_event *plat_event_create(const char *name, bool manual_reset, bool signalled,
                                        bool *existed);
// Another reference to the named event, or null when none has that name.
FERRY_API plat_event *plat_event_open(const char *name);
// Drops one reference; null is ignored.
FERRY_API void plat_event_close(plat_event *event);

FERRY_API bool plat_event_set(plat_event *event);
FERRY_API bool plat_event_reset(plat_event *event);
// Waits until the event is signalled or timeout_ms of scaled time have
// passed (0 tests without waiting; PLAT_WAIT_FOREVER waits without limit).
// An auto-reset event is reset by the wait that it ends.
FERRY_API int plat_event_wait(plat_event *event, uint32_t timeout_ms);

// Starts fn(arg) on a new thread; null when no thread can be started.
typedef void (*plat_thread_fn)(void *arg);
FERRY_API plat_thread *plat_thread_start(plat_thread_fn fn, void *arg);
// Waits for the thread to end and frees the record. Never call it from the
// thread itself.
FERRY_API bool plat_thread_join(plat_thread *thread);

// Opens the machine-wide lock of that name, creating it when new: a named
// mutex on Windows; on POSIX an advisory lock on the file <name>.lock in the
// folder of FERRY_LOCK_DIR, TMPDIR or /tmp, the first that is set. Null when
// it cannot be had.
FERRY_API plat_machine_lock *plat_machine_lock_open(const char *name);
// Waits up to timeout_ms of scaled time to own the lock: PLAT_WAIT_SIGNALLED
// when owned (also when a holder died without giving it up), PLAT_WAIT_TIMEOUT
// when someone else holds it (another process, or another opening in this
// one: the lock is not recursive), PLAT_WAIT_FAILED.
FERRY_API int plat_machine_lock_acquire(plat_machine_lock *lock, uint32_t timeout_ms);
// Gives up ownership; any thread may. False when the lock was not owned.
FERRY_API bool plat_machine_lock_release(plat_machine_lock *lock);
// Releases the lock when owned and frees the record; null is ignored.
FERRY_API void plat_machine_lock_close(plat_machine_lock *lock);

#ifdef __cplusplus
}
#endif
