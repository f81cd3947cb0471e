#include "platform/sync.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "platform/clock.h"

struct plat_event {
  std::mutex lock;
  std::condition_variable changed;
  bool manual_reset = false;
  bool signalled = false;
  std::atomic<int> refs{0};
  std::string name;
};

namespace {

plat_event *new_event(bool manual_reset, bool signalled) {
  auto *event = new (std::nothrow) plat_event;
  if (event) {
    event->manual_reset = manual_reset;
    event->signalled = signalled;
  }
  return event;
}

void delete_event(plat_event *event) {
  delete event;
}

} // namespace

#include "platform/event_registry.inc"

extern "C" bool plat_event_set(plat_event *event) {
  if (!event)
    return false;
  {
    std::lock_guard guard(event->lock);
    event->signalled = true;
  }
  event->changed.notify_all();
  return true;
}

extern "C" bool plat_event_reset(plat_event *event) {
  if (!event)
    return false;
  std::lock_guard guard(event->lock);
  event->signalled = false;
  return true;
}

extern "C" int plat_event_wait(plat_event *event, uint32_t timeout_ms) {
  if (!event)
    return PLAT_WAIT_FAILED;
  std::unique_lock guard(event->lock);
  auto is_signalled = [event] { return event->signalled; };
  if (timeout_ms == PLAT_WAIT_FOREVER) {
    event->changed.wait(guard, is_signalled);
  } else {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(plat_scaled_ms(timeout_ms));
    if (!event->changed.wait_until(guard, deadline, is_signalled))
      return PLAT_WAIT_TIMEOUT;
  }
  if (!event->manual_reset)
    event->signalled = false;
  return PLAT_WAIT_SIGNALLED;
}

struct plat_thread {
  pthread_t id;
  plat_thread_fn fn;
  void *arg;
};

namespace {

void *run_thread(void *record) {
  auto *thread = static_cast<plat_thread *>(record);
  thread->fn(thread->arg);
  return nullptr;
}

} // namespace

extern "C" plat_thread *plat_thread_start(plat_thread_fn fn, void *arg) {
  if (!fn)
    return nullptr;
  auto *thread = new (std::nothrow) plat_thread{{}, fn, arg};
  if (!thread)
    return nullptr;
  if (pthread_create(&thread->id, nullptr, run_thread, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

extern "C" bool plat_thread_join(plat_thread *thread) {
  if (!thread)
    return false;
  bool joined = pthread_join(thread->id, nullptr) == 0;
  delete thread;
  return joined;
}

// An advisory lock on a file: the kernel drops it when the holder's last
// descriptor goes, so a holder that dies frees it. Each opening has a
// descriptor of its own, and locks of two descriptors exclude each other
// even inside one process.
struct plat_machine_lock {
  int fd = -1;
  std::mutex lock;
  bool owned = false;
};

namespace {

std::string lock_folder() {
  for (const char *variable : {"FERRY_LOCK_DIR", "TMPDIR"}) {
    const char *value = std::getenv(variable);
    if (value && *value)
      return value;
  }
  return "/tmp";
}

// Waits in small steps: flock has no time-out of its own.
constexpr auto kLockPollStep = std::chrono::milliseconds(5);

} // namespace

extern "C" plat_machine_lock *plat_machine_lock_open(const char *name) {
  if (!name || !*name)
    return nullptr;
  std::string path;
  try {
    path = lock_folder() + "/" + name + ".lock";
  } catch (...) {
    return nullptr;
  }
  // flock needs no write access, and a lock file another user created in a
  // shared folder may be theirs to write only; nor may every system let us
  // open someone else's file there with O_CREAT.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT)
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0)
    return nullptr;
  auto *lock = new (std::nothrow) plat_machine_lock;
  if (!lock) {
    ::close(fd);
    return nullptr;
  }
  lock->fd = fd;
  return lock;
}

extern "C" int plat_machine_lock_acquire(plat_machine_lock *lock, uint32_t timeout_ms) {
  if (!lock)
    return PLAT_WAIT_FAILED;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(plat_scaled_ms(timeout_ms));
  for (;;) {
    {
      std::lock_guard guard(lock->lock);
      // An opening that owns the lock already would only convert its own
      // lock: it counts as held, as for any other holder.
      if (!lock->owned) {
        if (::flock(lock->fd, LOCK_EX | LOCK_NB) == 0) {
          lock->owned = true;
          return PLAT_WAIT_SIGNALLED;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
          return PLAT_WAIT_FAILED;
      }
    }
    auto now = std::chrono::steady_clock::now();
    if (timeout_ms != PLAT_WAIT_FOREVER && now >= deadline)
      return PLAT_WAIT_TIMEOUT;
    auto step = kLockPollStep;
    if (timeout_ms != PLAT_WAIT_FOREVER && deadline - now < step)
      step = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
             std::chrono::milliseconds(1);
    ::usleep(static_cast<useconds_t>(step.count() * 1000));
  }
}

extern "C" bool plat_machine_lock_release(plat_machine_lock *lock) {
  if (!lock)
    return false;
  std::lock_guard guard(lock->lock);
  if (!lock->owned)
    return false;
  lock->owned = false;
  return ::flock(lock->fd, LOCK_UN) == 0;
}

extern "C" void plat_machine_lock_close(plat_machine_lock *lock) {
  if (!lock)
    return;
  plat_machine_lock_release(lock);
  ::close(lock->fd);
  delete lock;
}
