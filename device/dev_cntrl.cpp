// The device control table, its worker thread and the caller's side of the
// handshake.
//
// Who may touch what:
// - the table, the count, the ready device and the index of the test under
//   way: the table lock, held for a few stores, never across a test;
// - the events and the worker: dev_init_cntrl and dev_close_cntrl under the
//   life-cycle lock; a reader sees them only after `initialised` says they
//   are there, and dev_close_cntrl takes them away only once it holds the
//   reader lock;
// - the wanted mask and the no-wait and nothing-watched flags: atomics,
//   written before the event that hands them over.
// The control record is never destroyed, so a worker still running while
// the process ends finds everything it touches in place.

#include "device/dev_cntrl.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <new>

#include "base/errors_internal.h"
#include "base/hooks.h"
#include "device/dev_cntrl_internal.h"
#include "platform/clock.h"

namespace {

enum EventIndex { START, STOP, DONE1, DONE2, EVENT_COUNT };
constexpr const char *event_names[EVENT_COUNT] = {"StartEvent", "StopEvent", "DoneEvent1",
                                                  "DoneEvent2"};

constexpr int32_t valid_types[] = {1, 2, 4, 8, 16, 32, 64};

// What one worker thread works with; it lives until the thread is joined.
struct Worker {
  plat_event *events[EVENT_COUNT];
  plat_event *exited; // signalled as the thread's last act
  std::atomic<bool> quit;
};

struct Control {
  Control() {
    for (dev_info &entry : entries)
      free_entry(entry);
  }
  static void free_entry(dev_info &entry) {
    entry = dev_info{-1, DEV_STATE_FREE, 0, DEV_EVENT_IGNORED, nullptr, nullptr};
  }

  std::mutex lifecycle;
  std::mutex reader; // held by the one dev_data_read under way
  std::atomic<bool> closing{false};
  std::atomic<bool> initialised{false};
  bool ever_initialised = false;        // under lifecycle
  plat_event *events[EVENT_COUNT] = {}; // under lifecycle; see above
  plat_thread *thread = nullptr;        // under lifecycle
  Worker *worker = nullptr;             // under lifecycle

  std::mutex table;
  std::condition_variable test_returned;
  dev_info entries[DEV_MAX_DEVICES];
  int32_t count = 0;
  // The device the worker found, until a caller takes it (or it goes).
  int32_t ready_type = 0;
  int32_t ready_index = -1;
  int32_t busy_index = -1; // entry whose test runs on the worker now

  std::atomic<int32_t> wanted_mask{0};
  std::atomic<bool> no_wait{false};
  std::atomic<int> live_workers{0};
};

Control &control() {
  static Control *record = new Control;
  return *record;
}

thread_local bool on_worker = false;

const char *name_of(u_err_t err) {
  // Not u_error_name: its shared buffer is no place for several threads.
  return ferry::error_constant_name(err);
}

u_err_t fail(const char *operation, u_err_t err) {
  u_msg_hook("%s failed: err=%s\n", operation, name_of(err));
  return err;
}

int32_t setup_error() {
  u_msg_hook("%s: %s\n", "dev_data_read", name_of(ERR_DEV_CNTRL));
  return 0;
}

void forget_ready(Control &c) {
  c.ready_type = 0;
  c.ready_index = -1;
}

// An entry whose test a pass runs for mask.
bool watched(const dev_info &entry, int32_t mask) {
  return entry.state == DEV_STATE_IN_USE && entry.event_state == DEV_EVENT_WATCHED &&
         (entry.type & mask) && entry.test;
}

bool anything_watched(Control &c, int32_t mask) {
  std::lock_guard guard(c.table);
  for (const dev_info &entry : c.entries)
    if (watched(entry, mask))
      return true;
  return false;
}

// A found device that no caller has taken yet and that this one wants.
bool ready_waiting(Control &c, int32_t mask) {
  std::lock_guard guard(c.table);
  return c.ready_index >= 0 && (c.ready_type & mask);
}

// The first entry in use that holds handle, or -1.
int find_entry(const Control &c, int64_t handle) {
  if (c.count <= 0)
    return -1;
  for (int i = 0; i < DEV_MAX_DEVICES; ++i)
    if (c.entries[i].state == DEV_STATE_IN_USE && c.entries[i].handle == handle)
      return i;
  return -1;
}

int first_free(const Control &c) {
  for (int i = 0; i < DEV_MAX_DEVICES; ++i)
    if (c.entries[i].state != DEV_STATE_IN_USE)
      return i;
  return -1;
}

// Waits until the worker is not running the test of entry index, so that
// the entry (and its owner) can go. The worker itself never waits for its
// own test. False when the test has not returned within the bound.
bool wait_test_returned(Control &c, std::unique_lock<std::mutex> &lock, int index) {
  if (on_worker)
    return true;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(plat_scaled_ms(DEV_WORKER_BOUND_MS));
  return c.test_returned.wait_until(lock, deadline, [&] { return c.busy_index != index; });
}

void clear_table(Control &c) {
  std::unique_lock lock(c.table);
  if (c.busy_index >= 0 && !wait_test_returned(c, lock, c.busy_index))
    c.busy_index = -1; // the hung test's answer is dropped when it comes
  for (dev_info &entry : c.entries)
    Control::free_entry(entry);
  c.count = 0;
  forget_ready(c);
}

// --- the worker ---

enum class Probe { skipped, not_ready, ready };

// Runs the test of entry index when it is watched for this cycle; a ready
// device becomes the ready one.
Probe probe(Control &c, int index, int32_t mask) {
  dev_info entry;
  {
    std::lock_guard guard(c.table);
    entry = c.entries[index];
    if (!watched(entry, mask))
      return Probe::skipped;
    c.busy_index = index;
  }
  const bool ready = entry.test(entry.handle, entry.owner);
  bool reported = false;
  {
    std::lock_guard guard(c.table);
    // A table cleared under a hung test has taken the entry away.
    reported = ready && c.busy_index == index;
    if (reported) {
      c.ready_type = entry.type;
      c.ready_index = index;
    }
    c.busy_index = -1;
  }
  c.test_returned.notify_all();
  return reported ? Probe::ready : Probe::not_ready;
}

// Checked between two tests of a pass, so that each cycle runs at least one
// test however late this thread comes to it.
bool stop_requested(Worker &w, int tests) {
  return w.quit.load() || (tests > 0 && plat_event_wait(w.events[STOP], 0) == PLAT_WAIT_SIGNALLED);
}

// Passes over the table until a device is ready, the caller stops the
// cycle, or there is no point in another pass.
void scan(Control &c, Worker &w) {
  const int32_t mask = c.wanted_mask.load();
  // Found for a caller that gave up waiting for this thread: it goes to
  // this caller, not lost.
  if (ready_waiting(c, mask)) {
    plat_event_set(w.events[DONE1]);
    return;
  }
  for (;;) {
    int tests = 0;
    for (int i = 0; i < DEV_MAX_DEVICES; ++i) {
      if (stop_requested(w, tests))
        return;
      const Probe result = probe(c, i, mask);
      if (result == Probe::ready) {
        plat_event_set(w.events[DONE1]);
        return;
      }
      tests += result == Probe::not_ready;
    }
    if (c.no_wait.load()) {
      plat_event_set(w.events[DONE1]);
      return;
    }
    if (tests == 0) {
      // Nothing here can become ready: answer the caller at once.
      plat_event_set(w.events[DONE1]);
      return;
    }
    if (plat_event_wait(w.events[STOP], DEV_PASS_PAUSE_MS) != PLAT_WAIT_TIMEOUT)
      return;
  }
}

void worker_main(void *arg) {
  auto *w = static_cast<Worker *>(arg);
  Control &c = control();
  on_worker = true;
  while (plat_event_wait(w->events[START], PLAT_WAIT_FOREVER) == PLAT_WAIT_SIGNALLED &&
         !w->quit.load()) {
    scan(c, *w);
    if (plat_event_wait(w->events[STOP], PLAT_WAIT_FOREVER) != PLAT_WAIT_SIGNALLED ||
        w->quit.load())
      break;
    plat_event_reset(w->events[START]);
    plat_event_set(w->events[DONE2]);
  }
  c.live_workers.fetch_sub(1);
  plat_event_set(w->exited);
}

void free_worker(Worker *w) {
  plat_event_close(w->exited);
  w->~Worker();
  u_free_hook(w);
}

bool start_worker(Control &c) {
  if (c.thread)
    return true;
  void *block = u_calloc_hook(1, sizeof(Worker));
  if (!block)
    return false;
  auto *w = new (block) Worker{};
  std::copy(std::begin(c.events), std::end(c.events), w->events);
  w->exited = plat_event_create(nullptr, true, false, nullptr);
  c.live_workers.fetch_add(1);
  plat_thread *thread = w->exited ? plat_thread_start(worker_main, w) : nullptr;
  if (!thread) {
    c.live_workers.fetch_sub(1);
    free_worker(w);
    return false;
  }
  c.thread = thread;
  c.worker = w;
  return true;
}

// Ends the worker and joins it. False when it did not end within the
// bound (a readiness test that hangs): it is then left alone, and so are
// the events it may still wait on.
bool stop_worker(Control &c) {
  Worker *w = c.worker;
  w->quit.store(true);
  plat_event_set(w->events[START]);
  plat_event_set(w->events[STOP]);
  const bool ended = plat_event_wait(w->exited, DEV_WORKER_BOUND_MS) == PLAT_WAIT_SIGNALLED;
  if (ended) {
    plat_thread_join(c.thread);
    free_worker(w);
  }
  c.thread = nullptr;
  c.worker = nullptr;
  return ended;
}

bool create_events(Control &c) {
  for (int i = 0; i < EVENT_COUNT; ++i) {
    if (!c.events[i])
      c.events[i] = plat_event_create(event_names[i], true, false, nullptr);
    if (!c.events[i])
      return false;
  }
  return true;
}

// --- the caller's side ---

bool take_ready(Control &c, int32_t mask, dev_record *device, int32_t *type) {
  std::lock_guard guard(c.table);
  if (c.ready_index < 0 || !(c.ready_type & mask))
    return false;
  const dev_info &entry = c.entries[c.ready_index];
  if (device)
    *device = dev_record{entry.handle, entry.state, entry.type, entry.owner};
  *type = c.ready_type;
  forget_ready(c);
  return true;
}

enum class Cycle { ready, nothing, again, setup_error };

// One cycle of the handshake. The ready device is taken once the worker is
// idle again, whatever the wait for "DoneEvent1" said: a device found just
// after that wait ran out has had its report consumed and must not be lost.
// For the same reason a found device stays found until a caller takes it.
Cycle run_cycle(Control &c, int32_t mask, bool wait, dev_record *device, int32_t *type) {
  plat_event *const *ev = c.events;
  plat_event_reset(ev[DONE1]);
  plat_event_reset(ev[DONE2]);
  plat_event_reset(ev[STOP]);
  c.no_wait.store(!wait);
  plat_event_set(ev[START]);
  const int found = plat_event_wait(ev[DONE1], DEV_CYCLE_MS);
  plat_event_set(ev[STOP]);
  if (plat_event_wait(ev[DONE2], DEV_WORKER_BOUND_MS) != PLAT_WAIT_SIGNALLED)
    return Cycle::setup_error;
  if (take_ready(c, mask, device, type))
    return Cycle::ready;
  // Nothing that could ever become ready is not waited for.
  if (found == PLAT_WAIT_FAILED || !wait || !anything_watched(c, mask))
    return Cycle::nothing;
  if (u_abort_hook(0) != 0 || c.closing.load())
    return Cycle::nothing;
  return Cycle::again;
}

} // namespace

namespace ferry::device {

int live_workers() {
  return control().live_workers.load();
}

} // namespace ferry::device

extern "C" {

u_err_t dev_init_cntrl(bool reinitialise) {
  Control &c = control();
  std::lock_guard life(c.lifecycle);
  if (c.initialised.load() && !reinitialise)
    return ERR_NONE;
  if (reinitialise || !c.ever_initialised)
    clear_table(c);
  c.initialised.store(false);
  if (!create_events(c) || !start_worker(c)) {
    u_msg_hook("%s failed: %s\n", "dev_init_cntrl", name_of(ERR_DEV_CNTRL));
    return ERR_DEV_CNTRL;
  }
  c.ever_initialised = true;
  c.initialised.store(true);
  return ERR_NONE;
}

bool dev_type_valid(int32_t type) {
  for (int32_t valid : valid_types)
    if (type == valid)
      return true;
  u_msg_hook("%s: dev_type=%d is invalid\n", "dev_type_valid", type);
  return false;
}

u_err_t dev_add_device(int32_t type, int64_t handle, void *owner) {
  static constexpr const char *op = "dev_add_device";
  Control &c = control();
  if (!c.initialised.load() || !dev_type_valid(type))
    return fail(op, ERR_DEV_CNTRL);
  // -1 marks a free entry: such a device could never be removed.
  if (handle == -1)
    return fail(op, ERR_INVALID_PARAM);
  u_err_t err = ERR_NONE;
  bool full = false;
  {
    std::lock_guard guard(c.table);
    const int free_index = c.count < DEV_MAX_DEVICES ? first_free(c) : -1;
    dev_ready_fn test = nullptr;
    if (free_index < 0)
      full = true;
    else if ((err = ferry::device::choose_ready_test(type, owner, &test)) == ERR_NONE) {
      c.entries[free_index] =
          dev_info{handle, DEV_STATE_IN_USE, type, DEV_EVENT_WATCHED, test, owner};
      ++c.count;
    }
  }
  if (full) {
    u_msg_hook("gl_DevInfo table is full");
    err = ERR_DEV_CNTRL;
  }
  return err == ERR_NONE ? ERR_NONE : fail(op, err);
}

u_err_t dev_remove_device(int64_t handle) {
  static constexpr const char *op = "dev_remove_device";
  Control &c = control();
  if (!c.initialised.load())
    return fail(op, ERR_DEV_CNTRL);
  if (handle == -1)
    return fail(op, ERR_INVALID_PARAM);
  u_err_t err = ERR_NONE;
  {
    std::unique_lock lock(c.table);
    int index = find_entry(c, handle);
    if (index >= 0 && !wait_test_returned(c, lock, index))
      err = ERR_DEV_CNTRL;
    // The wait let others in: the entry may have gone meanwhile.
    else if ((index = find_entry(c, handle)) < 0)
      err = ERR_PARAM_OUT_OF_RANGE;
    else {
      Control::free_entry(c.entries[index]);
      --c.count;
      if (c.ready_index == index)
        forget_ready(c);
    }
  }
  return err == ERR_NONE ? ERR_NONE : fail(op, err);
}

bool dev_is_registered(int64_t handle) {
  Control &c = control();
  std::lock_guard guard(c.table);
  return handle != -1 && find_entry(c, handle) >= 0;
}

u_err_t dev_set_event_state(int64_t handle, int32_t state) {
  static constexpr const char *op = "dev_set_event_state";
  Control &c = control();
  if (!c.initialised.load())
    return fail(op, ERR_DEV_CNTRL);
  if (handle == -1 || (state != DEV_EVENT_IGNORED && state != DEV_EVENT_WATCHED))
    return fail(op, ERR_INVALID_PARAM);
  {
    std::lock_guard guard(c.table);
    const int index = find_entry(c, handle);
    if (index >= 0) {
      c.entries[index].event_state = state;
      return ERR_NONE;
    }
  }
  return fail(op, ERR_PARAM_OUT_OF_RANGE);
}

int32_t dev_data_read(int32_t type_mask, dev_record *device, bool wait) {
  Control &c = control();
  if (!c.initialised.load() || (type_mask != DEV_TYPE_ALL && !dev_type_valid(type_mask)))
    return setup_error();
  std::unique_lock reader(c.reader, std::try_to_lock);
  if (!reader.owns_lock() || c.closing.load() || !c.initialised.load())
    return setup_error();
  c.wanted_mask.store(type_mask);
  for (;;) {
    int32_t type = 0;
    switch (run_cycle(c, type_mask, wait, device, &type)) {
    case Cycle::ready:
      return type;
    case Cycle::nothing:
      return DEV_NOTHING_READY;
    case Cycle::setup_error:
      return setup_error();
    case Cycle::again:
      break;
    }
  }
}

void dev_close_cntrl(void) {
  Control &c = control();
  std::lock_guard life(c.lifecycle);
  c.closing.store(true);
  {
    // A reader under way sees `closing` at the end of its cycle and leaves.
    std::lock_guard reader(c.reader);
    c.initialised.store(false);
    const bool joined = !c.worker || stop_worker(c);
    if (joined) {
      for (plat_event *&event : c.events) {
        plat_event_close(event);
        event = nullptr;
      }
    } else {
      u_msg_hook("%s failed: err=%s\n", "dev_close_cntrl", name_of(ERR_DEV_CNTRL));
    }
  }
  c.closing.store(false);
}

bool dev_get_entry(int32_t index, dev_info *entry) {
  if (index < 0 || index >= DEV_MAX_DEVICES || !entry)
    return false;
  Control &c = control();
  std::lock_guard guard(c.table);
  *entry = c.entries[index];
  return true;
}

} // extern "C"
