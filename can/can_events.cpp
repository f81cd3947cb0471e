#include "can/can_events.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <utility>

#include "base/hooks.h"
#include "can/can_bridge.h"
#include "can/can_events_internal.h"
#include "can/can_internal.h"
#include "platform/sync.h"

using namespace ferry::can;

namespace {

// A first-in-first-out queue of records with fixed room. Trivially
// destructible and in static storage, so it outlives every thread that may
// still call a handler while the process ends.
template <typename T, uint32_t Room> struct Ring {
  T items[Room];
  uint32_t head;
  uint32_t count;

  bool push(const T &item) {
    if (count == Room)
      return false;
    items[(head + count) % Room] = item;
    ++count;
    return true;
  }
  bool pop(T &item) {
    if (count == 0)
      return false;
    item = items[head];
    head = (head + 1) % Room;
    --count;
    return true;
  }
  void clear() { head = count = 0; }
};

// What did not fit into one queue or list: counted always, reported once
// until the queue has been emptied again.
struct Overflow {
  std::atomic<uint64_t> dropped{0};
  bool reported = false; // guarded by the queue's lock
};

// Each ring with its overflow count, guarded by one of the locks.
Ring<can_pdo_record, CAN_PDO_QUEUE_ROOM> pdo_queue;
Ring<can_emcy_record, CAN_EMCY_QUEUE_ROOM> emcy_queue;
Ring<can_event_entry, CAN_EVENT_LIST_ROOM> event_list;
Ring<can_decoded_event, CAN_DECODED_LIST_ROOM> decoded_list;
Overflow pdo_overflow, emcy_overflow, event_overflow, decoded_overflow;

// Decoder state, guarded by the event lock.
enum ZoomState { kZoomIdle = 0, kZoomMoving = 1, kZoomSettling = 2 };
int zoom_state = kZoomIdle;
int32_t last_zoom_position = 255;
// Read by waiting operations without the lock.
std::atomic<uint8_t> ndw_home_status{0};
std::atomic<uint8_t> ndw_moving_status{0};
std::atomic<bool> ndw_moving{false};

constexpr int32_t kZoomMap[8] = {0, 6, 5, 4, 3, 2, 1, 7};

// The three locks: auto-reset events created signalled, taken by a wait and
// given back by signalling. Created once and never closed, so a handler of
// the library's thread always finds its lock, whatever the host frees and
// registers meanwhile.
struct LockSet {
  std::mutex creation;
  std::atomic<plat_event *> event{nullptr};
  std::atomic<plat_event *> pdo{nullptr};
  std::atomic<plat_event *> emcy{nullptr};
};

LockSet &locks() {
  static LockSet *set = new LockSet;
  return *set;
}

struct LockName {
  std::atomic<plat_event *> LockSet::*slot;
  const char *name;
  const char *failure;
};

constexpr LockName kLockNames[] = {
    {&LockSet::event, "TarnCanEventMutex", "CanCreateSyncObjects: Cannot create CanEventMutex\n"},
    {&LockSet::pdo, "TarnPdoQueueMutex", "CanCreateSyncObjects: Cannot create PdoQueueMutex\n"},
    {&LockSet::emcy, "TarnEmcyQueueMutex", "CanCreateSyncObjects: Cannot create EmcyQueueMutex\n"},
};

// Creates the locks that do not exist yet, in order; false at the first
// failure, with its line when asked to report.
bool create_locks(bool report) {
  LockSet &set = locks();
  if (set.emcy.load(std::memory_order_acquire))
    return true;
  std::lock_guard guard(set.creation);
  for (const LockName &lock : kLockNames) {
    std::atomic<plat_event *> &slot = set.*lock.slot;
    if (slot.load(std::memory_order_relaxed))
      continue;
    plat_event *event = plat_event_create(lock.name, false, true, nullptr);
    if (!event) {
      if (report)
        u_msg_hook("%s", lock.failure);
      return false;
    }
    slot.store(event, std::memory_order_release);
  }
  return true;
}

plat_event *lock_of(std::atomic<plat_event *> LockSet::*slot) {
  return create_locks(false) ? (locks().*slot).load(std::memory_order_acquire) : nullptr;
}

// Holds one lock for its scope.
class Hold {
public:
  explicit Hold(plat_event *lock) : lock_(lock) {
    if (lock_ && plat_event_wait(lock_, PLAT_WAIT_FOREVER) != PLAT_WAIT_SIGNALLED)
      lock_ = nullptr;
  }
  ~Hold() {
    if (lock_)
      plat_event_set(lock_);
  }
  Hold(const Hold &) = delete;
  Hold &operator=(const Hold &) = delete;
  explicit operator bool() const { return lock_ != nullptr; }

private:
  plat_event *lock_;
};

void report_drop(const char *what, uint32_t room) {
  u_msg_hook("CAN %s full (%u entries): entries dropped\n", what, static_cast<unsigned>(room));
}

// Appends under the caller's lock; true when this drop is the first since
// the ring was last emptied and should be reported.
template <typename T, uint32_t Room>
bool append(Ring<T, Room> &ring, Overflow &overflow, const T &item) {
  if (ring.push(item))
    return false;
  overflow.dropped.fetch_add(1, std::memory_order_relaxed);
  return !std::exchange(overflow.reported, true);
}

template <typename T, uint32_t Room> bool take(Ring<T, Room> &ring, Overflow &overflow, T &item) {
  bool taken = ring.pop(item);
  if (ring.count == 0)
    overflow.reported = false;
  return taken;
}

// One record into a raw queue under its own lock (the handlers' side). A
// queue whose lock cannot be had loses the record, counted.
template <typename T, uint32_t Room>
void queue_record(std::atomic<plat_event *> LockSet::*lock, Ring<T, Room> &ring, Overflow &overflow,
                  const T &record, const char *what) {
  bool first_drop;
  {
    Hold hold(lock_of(lock));
    if (!hold) {
      overflow.dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    first_drop = append(ring, overflow, record);
  }
  if (first_drop)
    report_drop(what, Room);
}

// One record out of a raw queue, its lock held for that removal only.
template <typename T, uint32_t Room>
bool dequeue_record(std::atomic<plat_event *> LockSet::*lock, Ring<T, Room> &ring,
                    Overflow &overflow, T &record) {
  Hold hold(lock_of(lock));
  return hold && take(ring, overflow, record);
}

can_emcy_record emergency(uint32_t first, uint32_t second, const uint8_t *data12,
                          uint8_t byte_value) {
  can_emcy_record record{};
  record.first = first;
  record.second = second;
  if (data12)
    std::memcpy(record.data, data12, sizeof record.data);
  record.byte_value = byte_value;
  return record;
}

// --- Decoding -------------------------------------------------------------

constexpr uint32_t kFirstPdo = 0x180;
constexpr uint32_t kSecondPdo = 0x280;

struct Pdo {
  const can_pdo_record &record;
  uint8_t node() const { return record.cob_id & 0x7F; }
  uint32_t function() const { return record.cob_id & 0x780; }
  uint8_t byte(int i) const { return record.data[i]; }
  bool is(uint8_t from, uint32_t pdo) const { return node() == from && function() == pdo; }
};

// Receives the codes a PDO yields, in order.
class Emitter {
public:
  explicit Emitter(const can_pdo_record &record) : record_(record) {}
  void operator()(int32_t code) {
    if (append(decoded_list, decoded_overflow, can_decoded_event{code, record_}))
      first_drop_ = true;
  }
  bool first_drop() const { return first_drop_; }

private:
  const can_pdo_record &record_;
  bool first_drop_ = false;
};

using Decoder = void (*)(sys_info &, const Pdo &, Emitter &);

void decode_brush_motor(sys_info &instr, const Pdo &pdo, Emitter &emit) {
  if (pdo.is(CAN_NODE_ID_BRUSHMOTOR, kFirstPdo)) {
    if (instr.can.turret_type == SYS_INFO_TURRET_ENCODED &&
        pdo.byte(0) != instr.can.last_turret_position) {
      emit(CAN_EV_TURRET_POSITION);
      instr.can.last_turret_position = pdo.byte(0);
    }
    return;
  }
  if (!pdo.is(CAN_NODE_ID_BRUSHMOTOR, kSecondPdo))
    return;
  uint8_t flags = pdo.byte(0);
  if (zoom_state == kZoomSettling && !(flags & 0x20)) {
    emit(CAN_EV_ZOOM_MOVE_DONE);
    zoom_state = kZoomIdle;
  } else if (zoom_state == kZoomMoving && !(flags & 0x08)) {
    zoom_state = kZoomSettling;
  }
  if (flags & 0x08) {
    emit(CAN_EV_ZOOM_MOVING);
    zoom_state = kZoomMoving;
  }
  // A raw code outside the map stands for no position.
  int32_t position = can_zoom_map(pdo.byte(1));
  if (position >= 0 && position != last_zoom_position) {
    last_zoom_position = position;
    emit(CAN_EV_ZOOM_POSITION);
  }
}

void decode_wands(sys_info &, const Pdo &pdo, Emitter &emit) {
  if (!pdo.is(CAN_NODE_ID_WAND, kFirstPdo) && !pdo.is(CAN_NODE_ID_WAND2, kFirstPdo))
    return;
  constexpr int32_t kKeys[] = {0, CAN_EV_WAND_KEY1, CAN_EV_WAND_KEY2, CAN_EV_WAND_KEY3};
  if (pdo.byte(0) >= 1 && pdo.byte(0) <= 3)
    emit(kKeys[pdo.byte(0)]);
}

void ndw_stopped() {
  plat_event *stopped = plat_event_open("CAN_NDWHEEL_STOPPED");
  plat_event_set(stopped);
  plat_event_close(stopped);
}

void decode_nd_wheel(sys_info &, const Pdo &pdo, Emitter &) {
  if (!pdo.is(CAN_NODE_ID_FOCUS_NDW, kSecondPdo))
    return;
  uint8_t status = pdo.byte(0);
  ndw_home_status.store(status & 0x18);
  ndw_moving_status.store(status & 0x02);
  if (status & 0x02)
    ndw_moving.store(true);
  else if (ndw_moving.exchange(false))
    ndw_stopped();
}

void decode_rs_disk(sys_info &, const Pdo &pdo, Emitter &emit) {
  if (!pdo.is(CAN_NODE_ID_DD_RS, kSecondPdo) || (pdo.byte(0) & 0x02))
    return;
  if (pdo.byte(2) == 1)
    emit(CAN_EV_RS_REPORT1);
  else if (pdo.byte(2) == 2)
    emit(CAN_EV_RS_REPORT2);
}

void decode_focus(sys_info &, const Pdo &pdo, Emitter &emit) {
  if (pdo.is(CAN_NODE_ID_FOCUS_NDW, kFirstPdo))
    emit(CAN_EV_FOCUS_REPORT);
}

// A set of system-type codes (all below 64).
constexpr uint64_t types(std::initializer_list<int> codes) {
  uint64_t set = 0;
  for (int code : codes)
    set |= uint64_t{1} << code;
  return set;
}

bool in(uint64_t set, int32_t sys_type) {
  return sys_type >= 0 && sys_type < 64 && (set >> sys_type & 1);
}

constexpr uint64_t kBrushMotorFamily = types({11, 13, 22, 29, 31, 35});

struct Family {
  uint64_t sys_types;
  Decoder decoders[4]; // in order; the rest empty
};

constexpr Family kFamilies[] = {
    {kBrushMotorFamily, {decode_brush_motor}},
    {types({23, 30, 32, 33}), {decode_wands, decode_nd_wheel, decode_rs_disk, decode_focus}},
    {types({25}), {decode_wands, decode_nd_wheel, decode_rs_disk}},
    {types({26}), {decode_wands, decode_nd_wheel}},
};

const Family *family_of(const sys_info *instr) {
  if (!is_can_board(instr))
    return nullptr;
  for (const Family &family : kFamilies)
    if (in(family.sys_types, instr->sys_type))
      return &family;
  return nullptr;
}

// True when the decoded list overflowed for the first time.
bool decode(sys_info *instr, const can_pdo_record &record) {
  const Family *family = family_of(instr);
  if (!family)
    return false;
  Pdo pdo{record};
  Emitter emit(record);
  for (Decoder decoder : family->decoders)
    if (decoder)
      decoder(*instr, pdo, emit);
  return emit.first_drop();
}

// --- PDO registration --------------------------------------------------------

constexpr uint32_t kBrMotorProduct5 = 0x267215D5;
constexpr uint32_t kBrMotorProduct7 = 0x267215D7;

void register_pdo(uint32_t cob_id) {
  can_pdo_desc descriptor{};
  descriptor.cob_id = cob_id;
  can_lib()->CAN_RegisterPDO(descriptor);
}

void register_brush_motor_pdos(const sys_info &instr) {
  uint32_t product = instr.can.bridge ? instr.can.bridge->brmotor_product_id : 0;
  if (instr.can.turret_type == SYS_INFO_TURRET_ENCODED)
    register_pdo(0x1BF);
  bool zoom_reports =
      (instr.can.zoom_type == SYS_INFO_ZOOM_MOTORIZED && product == kBrMotorProduct5) ||
      (instr.can.zoom_type == SYS_INFO_ZOOM_ENCODED &&
       (product == kBrMotorProduct5 || product == kBrMotorProduct7));
  if (zoom_reports)
    register_pdo(0x2BF);
}

struct PdoSet {
  uint64_t sys_types;
  uint32_t cob_ids[5]; // in order; the rest 0
};

constexpr PdoSet kPdoSets[] = {
    {types({23, 30, 32, 33}), {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
    {types({25}), {0x1C8, 0x1C9, 0x2C0, 0x2C4}},
    {types({26}), {0x1C8, 0x1C9, 0x2C0}},
};

void print_can_err(const char *format, int32_t result) {
  u_msg_hook(format, result);
}

} // namespace

// --- Internal interface ---------------------------------------------------------

namespace ferry::can {

void ndw_set_home_status(uint8_t status) {
  ndw_home_status.store(status);
}

void ndw_set_moving_status(uint8_t status) {
  ndw_moving_status.store(status);
}

void zoom_note_first_position(int32_t position) {
  Hold hold(lock_of(&LockSet::event));
  if (hold && last_zoom_position == 255)
    last_zoom_position = position;
}

int32_t zoom_last_position() {
  Hold hold(lock_of(&LockSet::event));
  return last_zoom_position;
}

} // namespace ferry::can

// --- Public interface --------------------------------------------------------

extern "C" u_err_t CanCreateSyncObjects(void) {
  return create_locks(true) ? ERR_NONE : ERR_UNKNOWN;
}

extern "C" u_err_t can_register_events(sys_info *instr, bool on) {
  const can_bridge_lib *lib = can_lib();
  if (on) {
    CanCreateSyncObjects();
    int32_t result = lib->CAN_RegisterEvents(ReceivePdoHandler, ReceiveEmcyHandler);
    if (result != CAN_LIB_OK) {
      print_can_err("can_register_events canErr = %d\n", result);
      return can_error_code(result);
    }
    return can_register_pdos(instr);
  }
  for (int32_t result : {lib->CAN_RegisterEvents(nullptr, nullptr), lib->CAN_UnregisterPDOs()}) {
    if (result != CAN_LIB_OK) {
      print_can_err("can_register_events canErr = %d\n", result);
      return can_error_code(result);
    }
  }
  return ERR_NONE;
}

extern "C" u_err_t can_register_pdos(sys_info *instr) {
  if (!is_can_board(instr))
    return ERR_NONE;
  if (in(kBrushMotorFamily, instr->sys_type))
    register_brush_motor_pdos(*instr);
  for (const PdoSet &set : kPdoSets)
    if (in(set.sys_types, instr->sys_type))
      for (uint32_t cob_id : set.cob_ids)
        if (cob_id)
          register_pdo(cob_id);
  return ERR_NONE;
}

extern "C" void can_events_free_resources(void) {
  int32_t result = can_lib()->CAN_UnregisterPDOs();
  if (result != CAN_LIB_OK)
    print_can_err("can_events_free_resources canErr = %d\n", result);
}

extern "C" void ReceivePdoHandler(int32_t waiting, int32_t overrun) {
  if (overrun)
    u_msg_hook("ReceivePdo overrun.\n");
  const can_bridge_lib *lib = can_lib();
  for (int32_t i = 0; i < waiting; ++i) {
    can_pdo_record record{};
    int32_t result = lib->CAN_GetPDO(&record);
    if (result != CAN_LIB_OK) {
      print_can_err("ReceivePdoHandler canErr = %d\n", result);
      continue;
    }
    queue_record(&LockSet::pdo, pdo_queue, pdo_overflow, record, "PDO queue");
  }
}

extern "C" void ReceiveEmcyHandler(uint32_t first, uint32_t second, const uint8_t *data12,
                                   uint8_t byte_value) {
  queue_record(&LockSet::emcy, emcy_queue, emcy_overflow,
               emergency(first, second, data12, byte_value), "emergency queue");
}

extern "C" void mc_pdo_handler(uint32_t cob_id, uint32_t second, const uint8_t *data8) {
  can_pdo_record record{};
  record.cob_id = cob_id;
  record.word2 = second;
  if (data8)
    std::memcpy(record.data, data8, sizeof record.data);
  queue_record(&LockSet::pdo, pdo_queue, pdo_overflow, record, "PDO queue");
}

extern "C" void mc_emcy_handler(uint32_t first, uint32_t second, const uint8_t *data12,
                                uint8_t byte_value) {
  ReceiveEmcyHandler(first, second, data12, byte_value);
}

extern "C" bool can_process_events(sys_info *instr) {
  bool event_drop = false, decoded_drop = false, pending = false;
  {
    Hold hold(lock_of(&LockSet::event));
    if (!hold)
      return false;
    // Each pass takes at most a queue's room of records, so a library that
    // keeps sending never holds the pump (and the host) inside.
    can_emcy_record emcy;
    for (uint32_t n = 0;
         n < CAN_EMCY_QUEUE_ROOM && dequeue_record(&LockSet::emcy, emcy_queue, emcy_overflow, emcy);
         ++n)
      event_drop |= append(event_list, event_overflow, can_event_entry{CAN_EVENT_EMERGENCY, emcy});
    can_pdo_record pdo;
    for (uint32_t n = 0;
         n < CAN_PDO_QUEUE_ROOM && dequeue_record(&LockSet::pdo, pdo_queue, pdo_overflow, pdo); ++n)
      decoded_drop |= decode(instr, pdo);
    pending = event_list.count > 0 || decoded_list.count > 0;
  }
  if (event_drop)
    report_drop("event list", CAN_EVENT_LIST_ROOM);
  if (decoded_drop)
    report_drop("decoded-event list", CAN_DECODED_LIST_ROOM);
  return pending;
}

extern "C" bool can_event_take(can_event_entry *entry) {
  if (!entry)
    return false;
  Hold hold(lock_of(&LockSet::event));
  return hold && take(event_list, event_overflow, *entry);
}

extern "C" bool can_decoded_event_take(can_decoded_event *entry) {
  if (!entry)
    return false;
  Hold hold(lock_of(&LockSet::event));
  return hold && take(decoded_list, decoded_overflow, *entry);
}

extern "C" void can_events_clear(void) {
  Hold hold(lock_of(&LockSet::event));
  if (!hold)
    return;
  event_list.clear();
  decoded_list.clear();
  event_overflow.reported = decoded_overflow.reported = false;
}

extern "C" void can_events_pending(uint32_t *events, uint32_t *decoded) {
  Hold hold(lock_of(&LockSet::event));
  if (events)
    *events = hold ? event_list.count : 0;
  if (decoded)
    *decoded = hold ? decoded_list.count : 0;
}

extern "C" void can_decoded_event_add(int32_t code, const uint8_t *payload20) {
  can_decoded_event entry{};
  entry.code = code;
  if (payload20)
    std::memcpy(&entry.pdo, payload20, sizeof entry.pdo);
  bool first_drop;
  {
    Hold hold(lock_of(&LockSet::event));
    if (!hold)
      return;
    first_drop = append(decoded_list, decoded_overflow, entry);
  }
  if (first_drop)
    report_drop("decoded-event list", CAN_DECODED_LIST_ROOM);
}

extern "C" void can_events_dropped(can_events_drops *drops) {
  if (!drops)
    return;
  drops->pdo_queue = pdo_overflow.dropped.load();
  drops->emcy_queue = emcy_overflow.dropped.load();
  drops->event_list = event_overflow.dropped.load();
  drops->decoded_list = decoded_overflow.dropped.load();
}

extern "C" uint8_t can_ndw_home_status(void) {
  return ndw_home_status.load();
}

extern "C" uint8_t can_ndw_moving_status(void) {
  return ndw_moving_status.load();
}

extern "C" int32_t can_zoom_map(uint32_t raw) {
  return raw < std::size(kZoomMap) ? kZoomMap[raw] : -1;
}

extern "C" void can_events_reset_zoom_state(void) {
  Hold hold(lock_of(&LockSet::event));
  if (!hold)
    return;
  zoom_state = kZoomIdle;
  last_zoom_position = 255;
}
