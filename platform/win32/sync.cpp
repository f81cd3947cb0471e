#include "platform/sync.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>
#include <process.h>
#include <string>

#include "platform/clock.h"

// Events are unnamed system events; their names live only in the process's
// registry, so another process can never open them.
struct plat_event {
  HANDLE handle = nullptr;
  std::atomic<int> refs{0};
  std::string name;
};

namespace {

plat_event *new_event(bool manual_reset, bool signalled) {
  auto *event = new (std::nothrow) plat_event;
  if (!event)
    return nullptr;
  event->handle = CreateEventW(nullptr, manual_reset, signalled, nullptr);
  if (!event->handle) {
    delete event;
    return nullptr;
  }
  return event;
}

void delete_event(plat_event *event) {
  CloseHandle(event->handle);
  delete event;
}

DWORD system_timeout(uint32_t timeout_ms) {
  return timeout_ms == PLAT_WAIT_FOREVER ? INFINITE : plat_scaled_ms(timeout_ms);
}

int wait_result(DWORD result) {
  switch (result) {
  case WAIT_OBJECT_0:
    return PLAT_WAIT_SIGNALLED;
  case WAIT_TIMEOUT:
    return PLAT_WAIT_TIMEOUT;
  default:
    return PLAT_WAIT_FAILED;
  }
}

} // namespace

#include "platform/event_registry.inc"

extern "C" bool plat_event_set(plat_event *event) {
  return event && SetEvent(event->handle);
}

extern "C" bool plat_event_reset(plat_event *event) {
  return event && ResetEvent(event->handle);
}

extern "C" int plat_event_wait(plat_event *event, uint32_t timeout_ms) {
  if (!event)
    return PLAT_WAIT_FAILED;
  return wait_result(WaitForSingleObject(event->handle, system_timeout(timeout_ms)));
}

struct plat_thread {
  HANDLE handle;
  plat_thread_fn fn;
  void *arg;
};

namespace {

unsigned __stdcall run_thread(void *record) {
  auto *thread = static_cast<plat_thread *>(record);
  thread->fn(thread->arg);
  return 0;
}

} // namespace

extern "C" plat_thread *plat_thread_start(plat_thread_fn fn, void *arg) {
  if (!fn)
    return nullptr;
  auto *thread = new (std::nothrow) plat_thread{nullptr, fn, arg};
  if (!thread)
    return nullptr;
  // _beginthreadex rather than CreateThread, so the C runtime's per-thread
  // state is set up for the thread's own use of it.
  uintptr_t handle = _beginthreadex(nullptr, 0, run_thread, thread, 0, nullptr);
  if (!handle) {
    delete thread;
    return nullptr;
  }
  thread->handle = reinterpret_cast<HANDLE>(handle);
  return thread;
}

extern "C" bool plat_thread_join(plat_thread *thread) {
  if (!thread)
    return false;
  bool joined = WaitForSingleObject(thread->handle, INFINITE) == WAIT_OBJECT_0;
  CloseHandle(thread->handle);
  delete thread;
  return joined;
}

// A named mutex, which the system hands on as abandoned when its owner dies.
// A mutex belongs to the thread that took it and lets that thread take it
// again; the lock must be neither. So a holder thread of the lock's own
// takes the mutex, keeps it until asked to give it up, and releases it
// itself: any thread may ask, and a second acquisition in the same process
// waits like one from another process.
struct plat_machine_lock {
  HANDLE mutex = nullptr;
  HANDLE release = nullptr; // signalled to let the holder give the mutex up
  HANDLE decided = nullptr; // signalled once the holder knows its wait's result
  HANDLE idle = nullptr;    // signalled while this opening does not hold the lock
  HANDLE holder = nullptr;
  DWORD timeout = 0;
  int result = PLAT_WAIT_FAILED;
  CRITICAL_SECTION state;
};

namespace {

unsigned __stdcall hold_mutex(void *record) {
  auto *lock = static_cast<plat_machine_lock *>(record);
  DWORD waited = WaitForSingleObject(lock->mutex, lock->timeout);
  // An abandoned mutex is owned all the same: its holder died.
  lock->result = waited == WAIT_ABANDONED ? PLAT_WAIT_SIGNALLED : wait_result(waited);
  SetEvent(lock->decided);
  if (lock->result != PLAT_WAIT_SIGNALLED)
    return 0;
  WaitForSingleObject(lock->release, INFINITE);
  ReleaseMutex(lock->mutex);
  return 0;
}

void close_handle(HANDLE &handle) {
  if (handle)
    CloseHandle(handle);
  handle = nullptr;
}

void end_holder(plat_machine_lock *lock) {
  WaitForSingleObject(lock->holder, INFINITE);
  close_handle(lock->holder);
}

// What is left of a wait of `total` that began at `start`.
DWORD time_left(ULONGLONG start, DWORD total) {
  if (total == INFINITE)
    return INFINITE;
  ULONGLONG spent = GetTickCount64() - start;
  return spent >= total ? 0 : static_cast<DWORD>(total - spent);
}

// Starts a holder thread that waits up to `timeout` for the mutex; called
// inside the state lock while the opening has no holder.
int start_holder(plat_machine_lock *lock, DWORD timeout) {
  lock->timeout = timeout;
  ResetEvent(lock->release);
  ResetEvent(lock->decided);
  uintptr_t holder = _beginthreadex(nullptr, 0, hold_mutex, lock, 0, nullptr);
  if (!holder)
    return PLAT_WAIT_FAILED;
  lock->holder = reinterpret_cast<HANDLE>(holder);
  WaitForSingleObject(lock->decided, INFINITE);
  int result = lock->result;
  if (result == PLAT_WAIT_SIGNALLED)
    ResetEvent(lock->idle);
  else
    end_holder(lock);
  return result;
}

} // namespace

extern "C" plat_machine_lock *plat_machine_lock_open(const char *name) {
  if (!name || !*name)
    return nullptr;
  auto *lock = new (std::nothrow) plat_machine_lock;
  if (!lock)
    return nullptr;
  lock->mutex = CreateMutexA(nullptr, FALSE, name);
  lock->release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  lock->decided = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  lock->idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (!lock->mutex || !lock->release || !lock->decided || !lock->idle) {
    close_handle(lock->mutex);
    close_handle(lock->release);
    close_handle(lock->decided);
    close_handle(lock->idle);
    delete lock;
    return nullptr;
  }
  InitializeCriticalSection(&lock->state);
  return lock;
}

extern "C" int plat_machine_lock_acquire(plat_machine_lock *lock, uint32_t timeout_ms) {
  if (!lock)
    return PLAT_WAIT_FAILED;
  ULONGLONG start = GetTickCount64();
  DWORD total = system_timeout(timeout_ms);
  for (;;) {
    EnterCriticalSection(&lock->state);
    if (!lock->holder) {
      int result = start_holder(lock, time_left(start, total));
      LeaveCriticalSection(&lock->state);
      return result;
    }
    LeaveCriticalSection(&lock->state);
    // This opening holds the lock already: like any other holder, it keeps
    // the caller waiting until it gives the lock up.
    DWORD waited = WaitForSingleObject(lock->idle, time_left(start, total));
    if (waited != WAIT_OBJECT_0)
      return wait_result(waited);
  }
}

extern "C" bool plat_machine_lock_release(plat_machine_lock *lock) {
  if (!lock)
    return false;
  EnterCriticalSection(&lock->state);
  bool owned = lock->holder != nullptr;
  if (owned) {
    SetEvent(lock->release);
    end_holder(lock);
    SetEvent(lock->idle);
  }
  LeaveCriticalSection(&lock->state);
  return owned;
}

extern "C" void plat_machine_lock_close(plat_machine_lock *lock) {
  if (!lock)
    return;
  plat_machine_lock_release(lock);
  DeleteCriticalSection(&lock->state);
  close_handle(lock->mutex);
  close_handle(lock->release);
  close_handle(lock->decided);
  close_handle(lock->idle);
  delete lock;
}
