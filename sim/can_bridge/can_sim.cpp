// The simulated CAN bridge library: the bridge entry points over a virtual
// instrument, and the control interface of can_sim.h.

#include "sim/can_bridge/can_sim.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "can/can_bridge_lib.h"
#include "cansim_export.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNoSuchObject = 0x06020000;
constexpr uint8_t kRamper = 127;
constexpr uint8_t kNdWheel = 64;
constexpr uint8_t kMoving = 0x02;
constexpr uint8_t kSearching = 0x08 | kMoving;
// PDOs handed to the handler in one call at most, as a bridge's packet does.
constexpr size_t kDeliveryBatch = 256;

uint32_t object_key(uint16_t index, uint8_t subindex) {
  return uint32_t{index} << 8 | subindex;
}

Bytes le(uint32_t value, uint32_t size) {
  Bytes bytes(size);
  for (uint32_t i = 0; i < size && i < 4; ++i)
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

uint64_t le_value(const uint8_t *bytes, size_t size) {
  uint64_t value = 0;
  for (size_t i = std::min<size_t>(size, 8); i-- > 0;)
    value = value << 8 | bytes[i];
  return value;
}

struct Node {
  bool present = false;
  uint8_t find_status = CAN_NODE_FOUND;
  int32_t operational_after = 0;
  int32_t state_polls = 0;
  uint8_t state_before = 127;
  std::map<uint32_t, Bytes> objects;
  int32_t motion_polls = 0;
  int32_t moving_left = 0;
  uint8_t target_position = 1;
};

struct Homing {
  int32_t search = 0;
  int32_t move = 0;
  uint8_t result = 0;
  bool active = false;
  int32_t search_left = 0;
  int32_t move_left = 0;
};

struct Script {
  int32_t result;
  int32_t after;
  int32_t times;
};

struct AbortScript {
  uint8_t node;
  uint32_t key;
  uint32_t abort_code;
  int32_t transfer_result;
  int32_t times;
};

struct Outbound {
  bool is_pdo;
  can_pdo_record pdo;
  uint32_t first, second;
  uint8_t data[12];
  uint8_t byte_value;
};

struct LoggedAccess {
  cansim_access entry;
  Bytes data;
};

struct State {
  std::mutex lock;
  std::condition_variable wake; // the delivery thread's
  std::condition_variable idle; // flush and unregistration wait here

  std::vector<can_bridge_entry> bridges;
  uint8_t fw_major = 1, fw_minor = 0;
  uint8_t config_setting = 0;
  uint32_t config_value = 0;
  bool config_pending = false;
  uint8_t pending_setting = 0;
  uint32_t pending_value = 0;
  uint32_t last_error = 0;
  int32_t resets_to_clear = 0;
  int32_t resets_done = 0;
  uint32_t connected_ip = 0;
  bool connected = false;

  std::array<Node, CAN_NODE_COUNT> nodes;
  Homing homing;
  int32_t ramp_busy_polls = 0;
  int32_t ramp_busy_left = 0;

  std::map<std::string, std::vector<Script>> scripts;
  std::vector<AbortScript> aborts;
  std::map<std::string, uint32_t> calls;
  std::vector<LoggedAccess> log;
  std::vector<uint32_t> registered_pdos;

  can_pdo_handler_fn pdo_handler = nullptr;
  can_emcy_handler_fn emcy_handler = nullptr;
  std::deque<Outbound> outbox;
  std::deque<can_pdo_record> pdo_buffer;
  bool overrun = false;
  bool delivering = false;
  // A delivery thread runs while the generation it started with is current.
  uint64_t generation = 0;
  std::thread *delivery = nullptr;
  std::thread::id delivery_id;
};

// Never destroyed: a host may still call in while the process ends.
State &state() {
  static State *s = new State;
  return *s;
}

using Guard = std::unique_lock<std::mutex>;

// Counts the call and answers a scripted failure when one is due.
std::optional<int32_t> scripted(State &s, const char *name) {
  ++s.calls[name];
  auto found = s.scripts.find(name);
  if (found == s.scripts.end() || found->second.empty())
    return std::nullopt;
  Script &script = found->second.front();
  if (script.after > 0) {
    --script.after;
    return std::nullopt;
  }
  int32_t result = script.result;
  if (script.times > 0 && --script.times == 0)
    found->second.erase(found->second.begin());
  return result;
}

// --- Delivery thread -------------------------------------------------------

bool has_handlers(const State &s) {
  return s.pdo_handler || s.emcy_handler;
}

void deliver(State &s, uint64_t generation) {
  Guard guard(s.lock);
  for (;;) {
    s.wake.wait(guard, [&] {
      return s.generation != generation || (has_handlers(s) && (!s.outbox.empty() || s.overrun));
    });
    if (s.generation != generation)
      break;
    std::vector<Outbound> emergencies;
    size_t pdos = 0;
    while (!s.outbox.empty() && pdos + emergencies.size() < kDeliveryBatch) {
      Outbound item = s.outbox.front();
      s.outbox.pop_front();
      if (item.is_pdo) {
        s.pdo_buffer.push_back(item.pdo);
        ++pdos;
      } else {
        emergencies.push_back(item);
      }
    }
    bool overrun = std::exchange(s.overrun, false);
    can_pdo_handler_fn pdo_handler = s.pdo_handler;
    can_emcy_handler_fn emcy_handler = s.emcy_handler;
    auto waiting = static_cast<int32_t>(s.pdo_buffer.size());
    s.delivering = true;
    guard.unlock();
    for (const Outbound &e : emergencies)
      if (emcy_handler)
        emcy_handler(e.first, e.second, e.data, e.byte_value);
    if (pdo_handler && (pdos > 0 || overrun))
      pdo_handler(waiting, overrun ? 1 : 0);
    guard.lock();
    s.delivering = false;
    s.idle.notify_all();
  }
}

void start_delivery(State &s) {
  if (s.delivery)
    return;
  s.delivery = new std::thread([&s, generation = s.generation] { deliver(s, generation); });
  s.delivery_id = s.delivery->get_id();
}

// Stops the thread with the lock held on entry and on return. From the
// thread itself (a handler unregistering) it is only told to end.
void stop_delivery(State &s, Guard &guard) {
  if (!s.delivery)
    return;
  ++s.generation;
  s.wake.notify_all();
  std::thread *thread = std::exchange(s.delivery, nullptr);
  if (std::this_thread::get_id() == s.delivery_id) {
    thread->detach();
    delete thread;
    return;
  }
  guard.unlock();
  thread->join();
  delete thread;
  guard.lock();
}

// --- Node behaviours ----------------------------------------------------------

uint8_t homing_step(Homing &h) {
  if (h.search_left > 0) {
    --h.search_left;
    return kSearching;
  }
  if (h.move_left > 0) {
    --h.move_left;
    return h.result | kMoving;
  }
  h.active = false;
  return h.result;
}

void start_homing(State &s) {
  s.homing.active = true;
  s.homing.search_left = s.homing.search;
  s.homing.move_left = s.homing.move;
}

void after_write(State &s, uint8_t node_id, uint16_t index, uint8_t subindex, const Bytes &data) {
  Node &node = s.nodes[node_id];
  uint32_t value = static_cast<uint32_t>(le_value(data.data(), data.size()));
  if (index == 0x2034 && subindex == 0) {
    node.target_position = static_cast<int16_t>(value) >= 0 ? 1 : 2;
    node.moving_left = node.motion_polls;
    if (node.moving_left == 0)
      node.objects[object_key(0x2047, 0)] = le(node.target_position, 1);
  }
  if (node_id == kNdWheel && index == 0x2020 && subindex == 0 && value == 3)
    start_homing(s);
  if (node_id == kRamper &&
      ((index == 0x2000 && subindex == 0) || (index == 0x2009 && subindex == 1)))
    s.ramp_busy_left = s.ramp_busy_polls;
}

// A read the node's behaviour answers rather than its dictionary.
std::optional<Bytes> behaviour_read(State &s, uint8_t node_id, uint16_t index, uint8_t subindex) {
  Node &node = s.nodes[node_id];
  if (index == 0x2021 && subindex == 0) {
    if (node_id == kNdWheel && s.homing.active) {
      Bytes status = le(homing_step(s.homing), 1);
      node.objects[object_key(index, subindex)] = status;
      return status;
    }
    if (node.moving_left > 0) {
      if (--node.moving_left == 0)
        node.objects[object_key(0x2047, 0)] = le(node.target_position, 1);
      return le(kMoving, 1);
    }
  }
  if (node_id == kRamper && index == 0x2000 && subindex == 0) {
    if (s.ramp_busy_left > 0) {
      --s.ramp_busy_left;
      return le(1, 1);
    }
    return le(0, 1);
  }
  return std::nullopt;
}

const AbortScript *due_abort(State &s, uint8_t node, uint32_t key) {
  for (auto it = s.aborts.begin(); it != s.aborts.end(); ++it) {
    if (it->node != node || it->key != key || it->times == 0)
      continue;
    static thread_local AbortScript answer;
    answer = *it;
    if (it->times > 0 && --it->times == 0)
      s.aborts.erase(it);
    return &answer;
  }
  return nullptr;
}

void log_access(State &s, bool write, uint8_t node, uint16_t index, uint8_t subindex,
                const uint8_t *data, uint32_t bytes, int32_t result, const can_sdo_status *status) {
  LoggedAccess logged{};
  logged.entry.kind = write ? 'W' : 'R';
  logged.entry.node = node;
  logged.entry.index = index;
  logged.entry.subindex = subindex;
  logged.entry.size = bytes;
  logged.entry.result = result;
  if (status) {
    logged.entry.transfer_result = status->result;
    logged.entry.abort_code = status->abort_code;
  }
  if (data) {
    logged.data.assign(data, data + bytes);
    logged.entry.value = le_value(data, bytes);
  }
  s.log.push_back(std::move(logged));
}

int32_t sdo(bool write, const char *name, uint8_t node_id, uint16_t index, uint8_t subindex,
            void *data, uint32_t bytes, can_sdo_status *status) {
  State &s = state();
  Guard guard(s.lock);
  auto *buffer = static_cast<uint8_t *>(data);
  if (auto result = scripted(s, name)) {
    log_access(s, write, node_id, index, subindex, nullptr, bytes, *result, nullptr);
    return *result;
  }
  if (!s.connected)
    return CAN_LIB_NOT_CONNECTED;
  if (!status || (!buffer && bytes > 0) || node_id >= CAN_NODE_COUNT)
    return -1;
  *status = can_sdo_status{0, CAN_SDO_DONE, 0};
  Node &node = s.nodes[node_id];
  if (!node.present) {
    log_access(s, write, node_id, index, subindex, nullptr, bytes, -3, nullptr);
    return -3;
  }
  uint32_t key = object_key(index, subindex);
  if (const AbortScript *abort = due_abort(s, node_id, key)) {
    status->result = abort->transfer_result;
    status->abort_code = abort->abort_code;
    log_access(s, write, node_id, index, subindex, write ? buffer : nullptr, bytes, 1, status);
    return CAN_LIB_OK;
  }
  if (write) {
    Bytes value(buffer, buffer + bytes);
    node.objects[key] = value;
    after_write(s, node_id, index, subindex, value);
    log_access(s, true, node_id, index, subindex, buffer, bytes, 1, status);
    return CAN_LIB_OK;
  }
  std::optional<Bytes> value = behaviour_read(s, node_id, index, subindex);
  if (!value) {
    auto found = node.objects.find(key);
    if (found != node.objects.end())
      value = found->second;
  }
  if (!value) {
    status->result = 0;
    status->abort_code = kNoSuchObject;
    log_access(s, false, node_id, index, subindex, nullptr, bytes, 1, status);
    return CAN_LIB_OK;
  }
  std::memset(buffer, 0, bytes);
  std::memcpy(buffer, value->data(), std::min<size_t>(bytes, value->size()));
  log_access(s, false, node_id, index, subindex, buffer, bytes, 1, status);
  return CAN_LIB_OK;
}

// The objects a node of each kind carries from the start.
void default_objects(uint8_t node_id, Node &node) {
  auto set = [&node](uint16_t index, uint8_t subindex, uint32_t value, uint32_t size) {
    node.objects[object_key(index, subindex)] = le(value, size);
  };
  switch (node_id) {
  case 0x40: // focus and ND wheel
  case 0x42: // auxiliary motor
  case 0x44: // ring/spot disk
  case 0x46: // zoom disk
    set(0x2000, 0, 0, 1);
    set(0x2021, 0, 0, 1);
    set(0x2028, 0, 0, 2);
    set(0x2036, 0, 800, 2);
    set(0x2047, 0, 1, 1);
    set(0x2044, 8, 0x02, 1);
    break;
  case 0x3F: // brush motor: turret readable, 5 turret and 6 zoom positions
    set(0x2001, 0, 0x80, 1);
    set(0x2002, 0, 1, 1);
    set(0x2012, 0, 0, 1);
    node.objects[object_key(0x2015, 0)] = {0, 1, 2, 3, 4, 5};
    node.objects[object_key(0x2020, 1)] = {6, 5};
    break;
  case 0x3D: // LED
    set(0x2001, 0, 0, 2);
    break;
  case 0x3E: // triple PZT
  case 0x34: // large aperture
    set(0x1002, 0, 0, 4);
    break;
  case kRamper:
    set(0x2010, 1, 0x08, 1);
    set(0x2010, 2, 0, 2);
    for (uint16_t slot = 0; slot < 4; ++slot)
      set(static_cast<uint16_t>(0x2003 + slot), 1, 1, 1);
    set(0x6200, 1, 0, 1);
    set(0x2040, 0, 0, 2);
    set(0x2041, 11, 0, 2);
    set(0x2041, 2, 0x3F800000, 4); // 1.0f
    set(0x2041, 3, 0x3F800000, 4);
    set(0x2041, 20, 0, 2);
    break;
  default:
    break;
  }
}

// --- Control interface ------------------------------------------------------------

void sim_reset() {
  State &s = state();
  Guard guard(s.lock);
  s.pdo_handler = nullptr;
  s.emcy_handler = nullptr;
  stop_delivery(s, guard);
  s.bridges.clear();
  s.fw_major = 1;
  s.fw_minor = 0;
  s.config_setting = 0;
  s.config_value = 0;
  s.config_pending = false;
  s.last_error = 0;
  s.resets_to_clear = 0;
  s.resets_done = 0;
  s.connected = false;
  s.connected_ip = 0;
  s.nodes = {};
  s.homing = {};
  s.ramp_busy_polls = s.ramp_busy_left = 0;
  s.scripts.clear();
  s.aborts.clear();
  s.calls.clear();
  s.log.clear();
  s.registered_pdos.clear();
  s.outbox.clear();
  s.pdo_buffer.clear();
  s.overrun = false;
}

void sim_add_bridge(const uint8_t mac[6], const uint8_t ip[4]) {
  State &s = state();
  Guard guard(s.lock);
  can_bridge_entry entry{};
  std::memcpy(entry.ip, ip, 4);
  std::memcpy(entry.mac, mac, 6);
  s.bridges.push_back(entry);
}

void sim_set_firmware(uint8_t major, uint8_t minor) {
  State &s = state();
  Guard guard(s.lock);
  s.fw_major = major;
  s.fw_minor = minor;
}

void sim_set_configuration(uint8_t setting, uint32_t value) {
  State &s = state();
  Guard guard(s.lock);
  s.config_setting = setting;
  s.config_value = value;
  s.config_pending = false;
}

void sim_configuration(uint8_t *setting, uint32_t *value) {
  State &s = state();
  Guard guard(s.lock);
  if (setting)
    *setting = s.config_setting;
  if (value)
    *value = s.config_value;
}

void sim_set_last_error(uint32_t error, int32_t resets_to_clear) {
  State &s = state();
  Guard guard(s.lock);
  s.last_error = error;
  s.resets_to_clear = resets_to_clear;
  s.resets_done = 0;
}

uint32_t sim_connected_ip() {
  State &s = state();
  Guard guard(s.lock);
  return s.connected ? s.connected_ip : 0;
}

void sim_add_node(uint8_t node_id, uint32_t product_id, uint16_t major, uint16_t minor) {
  if (node_id >= CAN_NODE_COUNT)
    return;
  State &s = state();
  Guard guard(s.lock);
  Node &node = s.nodes[node_id];
  node = Node{};
  node.present = true;
  default_objects(node_id, node);
  node.objects[object_key(0x1018, 2)] = le(product_id, 4);
  node.objects[object_key(0x1018, 3)] = le(uint32_t{major} << 16 | minor, 4);
}

void sim_remove_node(uint8_t node_id) {
  if (node_id >= CAN_NODE_COUNT)
    return;
  State &s = state();
  Guard guard(s.lock);
  s.nodes[node_id] = Node{};
}

void sim_set_find_status(uint8_t node_id, uint8_t status) {
  State &s = state();
  Guard guard(s.lock);
  s.nodes[node_id % CAN_NODE_COUNT].find_status = status;
}

void sim_set_operational_after(uint8_t node_id, int32_t polls, uint8_t state_before) {
  State &s = state();
  Guard guard(s.lock);
  Node &node = s.nodes[node_id % CAN_NODE_COUNT];
  node.operational_after = polls;
  node.state_polls = 0;
  node.state_before = state_before;
}

void sim_set_object(uint8_t node_id, uint16_t index, uint8_t subindex, const void *bytes,
                    uint32_t size) {
  State &s = state();
  Guard guard(s.lock);
  const auto *first = static_cast<const uint8_t *>(bytes);
  s.nodes[node_id % CAN_NODE_COUNT].objects[object_key(index, subindex)] =
      first ? Bytes(first, first + size) : Bytes(size);
}

void sim_set_object_value(uint8_t node_id, uint16_t index, uint8_t subindex, uint32_t value,
                          uint32_t size) {
  Bytes bytes = le(value, size);
  sim_set_object(node_id, index, subindex, bytes.data(), size);
}

int32_t sim_object_value(uint8_t node_id, uint16_t index, uint8_t subindex, uint32_t *value) {
  State &s = state();
  Guard guard(s.lock);
  const Node &node = s.nodes[node_id % CAN_NODE_COUNT];
  auto found = node.objects.find(object_key(index, subindex));
  if (found == node.objects.end())
    return 0;
  if (value)
    *value = static_cast<uint32_t>(le_value(found->second.data(), found->second.size()));
  return 1;
}

void sim_set_motion_polls(uint8_t node_id, int32_t polls) {
  State &s = state();
  Guard guard(s.lock);
  s.nodes[node_id % CAN_NODE_COUNT].motion_polls = polls;
}

void sim_set_homing(int32_t search_polls, uint8_t home_result, int32_t move_polls) {
  State &s = state();
  Guard guard(s.lock);
  s.homing = Homing{search_polls, move_polls, home_result};
}

void sim_set_ramp_busy_polls(int32_t polls) {
  State &s = state();
  Guard guard(s.lock);
  s.ramp_busy_polls = polls;
}

void queue_locked(State &s, const Outbound &item) {
  s.outbox.push_back(item);
  s.wake.notify_all();
}

void sim_tick() {
  State &s = state();
  Guard guard(s.lock);
  if (!s.homing.active)
    return;
  Outbound item{};
  item.is_pdo = true;
  item.pdo.cob_id = 0x280 | kNdWheel;
  item.pdo.data[0] = homing_step(s.homing);
  s.nodes[kNdWheel].objects[object_key(0x2021, 0)] = le(item.pdo.data[0], 1);
  queue_locked(s, item);
}

void sim_fail_call(const char *entry_point, int32_t result, int32_t after, int32_t times) {
  if (!entry_point || times == 0)
    return;
  State &s = state();
  Guard guard(s.lock);
  s.scripts[entry_point].push_back(Script{result, after, times});
}

void sim_abort_sdo(uint8_t node, uint16_t index, uint8_t subindex, uint32_t abort_code,
                   int32_t transfer_result, int32_t times) {
  State &s = state();
  Guard guard(s.lock);
  s.aborts.push_back(
      AbortScript{node, object_key(index, subindex), abort_code, transfer_result, times});
}

uint32_t sim_call_count(const char *entry_point) {
  State &s = state();
  Guard guard(s.lock);
  auto found = s.calls.find(entry_point ? entry_point : "");
  return found == s.calls.end() ? 0 : found->second;
}

uint32_t sim_access_count() {
  State &s = state();
  Guard guard(s.lock);
  return static_cast<uint32_t>(s.log.size());
}

int32_t sim_access_entry(uint32_t i, cansim_access *entry) {
  State &s = state();
  Guard guard(s.lock);
  if (i >= s.log.size() || !entry)
    return 0;
  *entry = s.log[i].entry;
  return 1;
}

uint32_t sim_access_data(uint32_t i, void *buffer, uint32_t bytes) {
  State &s = state();
  Guard guard(s.lock);
  if (i >= s.log.size())
    return 0;
  const Bytes &data = s.log[i].data;
  if (buffer)
    std::memcpy(buffer, data.data(), std::min<size_t>(bytes, data.size()));
  return static_cast<uint32_t>(data.size());
}

void sim_clear_log() {
  State &s = state();
  Guard guard(s.lock);
  s.log.clear();
  s.calls.clear();
}

uint32_t sim_registered_pdos(uint32_t *cob_ids, uint32_t room) {
  State &s = state();
  Guard guard(s.lock);
  for (uint32_t i = 0; cob_ids && i < room && i < s.registered_pdos.size(); ++i)
    cob_ids[i] = s.registered_pdos[i];
  return static_cast<uint32_t>(s.registered_pdos.size());
}

int32_t sim_handlers_registered() {
  State &s = state();
  Guard guard(s.lock);
  return has_handlers(s) ? 1 : 0;
}

void sim_queue_pdo(uint32_t cob_id, const uint8_t data[8]) {
  Outbound item{};
  item.is_pdo = true;
  item.pdo.cob_id = cob_id;
  if (data)
    std::memcpy(item.pdo.data, data, 8);
  State &s = state();
  Guard guard(s.lock);
  queue_locked(s, item);
}

void sim_queue_emcy(uint32_t first, uint32_t second, const uint8_t data[12], uint8_t byte_value) {
  Outbound item{};
  item.first = first;
  item.second = second;
  if (data)
    std::memcpy(item.data, data, 12);
  item.byte_value = byte_value;
  State &s = state();
  Guard guard(s.lock);
  queue_locked(s, item);
}

void sim_set_overrun() {
  State &s = state();
  Guard guard(s.lock);
  s.overrun = true;
  s.wake.notify_all();
}

int32_t sim_flush(uint32_t timeout_ms) {
  State &s = state();
  Guard guard(s.lock);
  bool done = s.idle.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                              [&] { return s.outbox.empty() && !s.overrun && !s.delivering; });
  return done ? 1 : 0;
}

constexpr cansim_api kApi = {
    sizeof(cansim_api),
    sim_reset,
    sim_add_bridge,
    sim_set_firmware,
    sim_set_configuration,
    sim_configuration,
    sim_set_last_error,
    sim_connected_ip,
    sim_add_node,
    sim_remove_node,
    sim_set_find_status,
    sim_set_operational_after,
    sim_set_object,
    sim_set_object_value,
    sim_object_value,
    sim_set_motion_polls,
    sim_set_homing,
    sim_set_ramp_busy_polls,
    sim_tick,
    sim_fail_call,
    sim_abort_sdo,
    sim_call_count,
    sim_access_count,
    sim_access_entry,
    sim_access_data,
    sim_clear_log,
    sim_registered_pdos,
    sim_handlers_registered,
    sim_queue_pdo,
    sim_queue_emcy,
    sim_set_overrun,
    sim_flush,
};

} // namespace

// --- The bridge entry points ----------------------------------------------------

namespace {

enum class Needs { nothing, connection };

// One bridge call under the simulator's lock: the call is counted and a
// scripted failure answered first; a call that needs the connection is
// refused without it; then the call's own work runs (given the guard too
// when it must let the lock go to wait).
template <typename Work> int32_t bridge_call(const char *name, Needs needs, Work work) {
  State &s = state();
  Guard guard(s.lock);
  if (std::optional<int32_t> scripted_result = scripted(s, name))
    return *scripted_result;
  if (needs == Needs::connection && !s.connected)
    return CAN_LIB_NOT_CONNECTED;
  if constexpr (std::is_invocable_v<Work &, State &, Guard &>)
    return work(s, guard);
  else
    return work(s);
}

} // namespace

extern "C" CANSIM_EXPORT int32_t CAN_EnumerateBridges(can_bridge_entry *entries, int32_t capacity) {
  return bridge_call("CAN_EnumerateBridges", Needs::nothing, [&](State &s) -> int32_t {
    if (!entries || capacity < 0)
      return -1;
    size_t count = std::min<size_t>(s.bridges.size(), static_cast<size_t>(capacity));
    std::copy_n(s.bridges.begin(), count, entries);
    return static_cast<int32_t>(count);
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_Connect(uint32_t ip_address) {
  return bridge_call("CAN_Connect", Needs::nothing, [&](State &s) -> int32_t {
    for (const can_bridge_entry &bridge : s.bridges) {
      uint32_t ip = 0;
      std::memcpy(&ip, bridge.ip, sizeof ip);
      if (ip != ip_address)
        continue;
      s.connected = true;
      s.connected_ip = ip_address;
      if (std::exchange(s.config_pending, false)) {
        s.config_setting = s.pending_setting;
        s.config_value = s.pending_value;
      }
      return CAN_LIB_OK;
    }
    return -3;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_Disconnect(void) {
  return bridge_call("CAN_Disconnect", Needs::nothing, [](State &s) -> int32_t {
    s.connected = false;
    s.connected_ip = 0;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_GetFirmwareVersion(uint8_t *major, uint8_t *minor) {
  return bridge_call("CAN_GetFirmwareVersion", Needs::connection, [&](State &s) -> int32_t {
    if (!major || !minor)
      return -1;
    *major = s.fw_major;
    *minor = s.fw_minor;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_GetBridgeConfiguration(uint8_t *setting, uint32_t *value) {
  return bridge_call("CAN_GetBridgeConfiguration", Needs::connection, [&](State &s) -> int32_t {
    if (!setting || !value)
      return -1;
    *setting = s.config_setting;
    *value = s.config_value;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_SetBridgeConfiguration(uint8_t setting, uint32_t value) {
  return bridge_call("CAN_SetBridgeConfiguration", Needs::connection, [&](State &s) -> int32_t {
    s.config_pending = true;
    s.pending_setting = setting;
    s.pending_value = value;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_GetLastBridgeError(uint32_t *error) {
  return bridge_call("CAN_GetLastBridgeError", Needs::connection, [&](State &s) -> int32_t {
    if (!error)
      return -1;
    bool cleared = s.resets_to_clear >= 0 && s.resets_done >= s.resets_to_clear;
    *error = cleared ? 0 : s.last_error;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_ResetBridge(void) {
  return bridge_call("CAN_ResetBridge", Needs::connection, [](State &s) -> int32_t {
    ++s.resets_done;
    // A reset drops the connection; the caller connects again.
    s.connected = false;
    s.connected_ip = 0;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_EnumerateNodes(uint8_t *states) {
  return bridge_call("CAN_EnumerateNodes", Needs::connection, [&](State &s) -> int32_t {
    if (!states)
      return -1;
    for (size_t node = 0; node < s.nodes.size(); ++node)
      states[node] = s.nodes[node].present ? CAN_NODE_PRESENT : 0;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_FindNode(uint8_t node, uint8_t *status) {
  return bridge_call("CAN_FindNode", Needs::connection, [&](State &s) -> int32_t {
    if (!status || node >= CAN_NODE_COUNT)
      return -1;
    const Node &n = s.nodes[node];
    *status = n.present ? n.find_status : 0;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_GetNodeState(uint8_t node, uint8_t *node_state) {
  return bridge_call("CAN_GetNodeState", Needs::connection, [&](State &s) -> int32_t {
    if (!node_state || node >= CAN_NODE_COUNT)
      return -1;
    Node &n = s.nodes[node];
    if (!n.present) {
      *node_state = 0;
      return CAN_LIB_OK;
    }
    ++n.state_polls;
    *node_state =
        n.state_polls >= n.operational_after ? uint8_t{CAN_NODE_OPERATIONAL} : n.state_before;
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_SDORead(uint8_t node, uint16_t index, uint8_t subindex,
                                             void *data, uint32_t bytes, can_sdo_status *status) {
  return sdo(false, "CAN_SDORead", node, index, subindex, data, bytes, status);
}

extern "C" CANSIM_EXPORT int32_t CAN_SDOWrite(uint8_t node, uint16_t index, uint8_t subindex,
                                              void *data, uint32_t bytes, can_sdo_status *status) {
  return sdo(true, "CAN_SDOWrite", node, index, subindex, data, bytes, status);
}

extern "C" CANSIM_EXPORT int32_t CAN_RegisterPDO(can_pdo_desc descriptor) {
  return bridge_call("CAN_RegisterPDO", Needs::connection, [&](State &s) -> int32_t {
    s.registered_pdos.push_back(descriptor.cob_id);
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_UnregisterPDOs(void) {
  return bridge_call("CAN_UnregisterPDOs", Needs::connection, [](State &s) -> int32_t {
    s.registered_pdos.clear();
    return CAN_LIB_OK;
  });
}

extern "C" CANSIM_EXPORT int32_t CAN_RegisterEvents(can_pdo_handler_fn pdo_handler,
                                                    can_emcy_handler_fn emcy_handler) {
  return bridge_call("CAN_RegisterEvents", Needs::nothing, [&](State &s, Guard &guard) -> int32_t {
    s.pdo_handler = pdo_handler;
    s.emcy_handler = emcy_handler;
    if (has_handlers(s)) {
      start_delivery(s);
      s.wake.notify_all();
    } else {
      // Once this returns, no handler runs any more.
      stop_delivery(s, guard);
    }
    return CAN_LIB_OK;
  });
}

#ifndef CANSIM_LEAVE_OUT_GET_PDO
extern "C" CANSIM_EXPORT int32_t CAN_GetPDO(can_pdo_record *record) {
  return bridge_call("CAN_GetPDO", Needs::nothing, [&](State &s) -> int32_t {
    if (!record)
      return -1;
    if (s.pdo_buffer.empty())
      return -6;
    *record = s.pdo_buffer.front();
    s.pdo_buffer.pop_front();
    return CAN_LIB_OK;
  });
}
#endif

extern "C" CANSIM_EXPORT const cansim_api *cansim_control(void) {
  return &kApi;
}

// Every entry point has the type the library binds it by.
#ifndef CANSIM_LEAVE_OUT_GET_PDO
#define CANSIM_CHECK_TYPE(name, params, args)                                                      \
  static_assert(std::is_same_v<decltype(&name), name##_fn>, #name " differs from its binding");
CAN_BRIDGE_ENTRY_POINTS(CANSIM_CHECK_TYPE)
#undef CANSIM_CHECK_TYPE
#endif
