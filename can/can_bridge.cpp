#include "can/can_bridge.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/console.h"
#include "base/hooks.h"
#include "can/can_accessors.h"
#include "can/can_bridge_lib.h"
#include "can/can_host_ops.h"
#include "can/can_internal.h"
#include "platform/dynlib.h"

using namespace ferry::can;

namespace {

struct NodeName {
  uint8_t node;
  const char *name;
};

constexpr NodeName kNodeNames[] = {
    {CAN_NODE_ID_LARGEAP, "CAN_NODE_ID_LARGEAP"},
    {CAN_NODE_ID_LED, "CAN_NODE_ID_LED"},
    {CAN_NODE_ID_TRIPLEPZT, "CAN_NODE_ID_TRIPLEPZT"},
    {CAN_NODE_ID_BRUSHMOTOR, "CAN_NODE_ID_BRUSHMOTOR"},
    {CAN_NODE_ID_FOCUS_NDW, "CAN_NODE_ID_FOCUS_NDW"},
    {CAN_NODE_ID_AUX_MOTOR, "CAN_NODE_ID_AUX_MOTOR"},
    {CAN_NODE_ID_DD_RS, "CAN_NODE_ID_DD_RS"},
    {CAN_NODE_ID_DD_ZOOM, "CAN_NODE_ID_DD_ZOOM"},
    {CAN_NODE_ID_WAND, "CAN_NODE_ID_WAND"},
    {CAN_NODE_ID_WAND2, "CAN_NODE_ID_WAND2"},
    {CAN_NODE_ID_RAMP, "CAN_NODE_ID_RAMP"},
};

struct LibraryError {
  int32_t can_err;
  u_err_t code;
};

constexpr LibraryError kLibraryErrors[] = {
    {1, ERR_NONE},
    {-1, ERR_CAN_ERROR},
    {-2, ERR_CAN_NOT_CONNECTED},
    {-3, ERR_CAN_TIMEOUT},
    {-4, ERR_CAN_TCP_TRANSMISSION_ERROR},
    {-5, ERR_CAN_BUFFER_TOO_SMALL},
    {-6, ERR_CAN_NO_PDO},
};

// A read's failure goes to the hook as it stands; a write's is stamped.
void plain_message(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  u_msg_hook("%s", text);
}

// The SDO transfer behind both wrappers; `write` picks the library call and
// the message form.
u_err_t sdo_transfer(bool write, uint8_t node, uint16_t index, uint8_t subindex, void *data,
                     uint32_t bytes, bool activity, u_err_t abort_code, const char *caller) {
  can_sdo_status status{};
  const can_bridge_lib *lib = can_lib();
  int32_t result = write ? lib->CAN_SDOWrite(node, index, subindex, data, bytes, &status)
                         : lib->CAN_SDORead(node, index, subindex, data, bytes, &status);
  // Every access counts as instrument activity, whatever came of it.
  if (activity)
    can_get_host_ops()->sleep_activity();
  void (*print)(const char *, ...) = write ? u_msg_stamped : plain_message;
  const char *wrapper = write ? "can_sdo_write2" : "can_sdo_read2";
  if (!caller)
    caller = "";
  if (result != CAN_LIB_OK) {
    u_err_t code = can_error_code(result);
    print("%s called by %s: err=%s\n", wrapper, caller, u_error_name(code));
    return code;
  }
  if (status.result == CAN_SDO_DONE)
    return ERR_NONE;
  // The abort code is a 32-bit value on every system; printed as such it
  // reads as the eight hex digits the node sent.
  print("%s called by %s: err=%s, result=%d, abortcode=%8.8X\n", wrapper, caller,
        u_error_name(abort_code), status.result, static_cast<unsigned>(status.abort_code));
  return abort_code;
}

void format_mac(const uint8_t mac[6], char text[18]) {
  std::snprintf(text, 18, "%2.2X %2.2X %2.2X %2.2X %2.2X %2.2X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
}

enum class Search { Found, Missed, Failed };

// One enumeration of the bridges on the network.
Search search_bridges(can_bridge &bridge) {
  can_bridge_entry entries[CAN_MAX_BRIDGES] = {};
  int32_t count = can_lib()->CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES);
  if (count == 0) {
    u_msg_stamped("%s: CAN_EnumerateBridges found no CAN bridges\n", "find_bridge");
    return Search::Failed;
  }
  // Any other answer than a count that fits the room given is a failure:
  // entries past the room were never written.
  if (count < 0 || count > CAN_MAX_BRIDGES) {
    u_msg_stamped("%s: CAN_EnumerateBridges failed\n", "find_bridge");
    return Search::Failed;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (std::memcmp(entries[i].mac, bridge.mac, sizeof bridge.mac) == 0) {
      std::memcpy(bridge.ip, entries[i].ip, sizeof bridge.ip);
      return Search::Found;
    }
  }
  return Search::Missed;
}

bool fw_at_least_each(const sys_info *instr, int major, int minor) {
  if (!instr || !instr->can.bridge)
    return false;
  return instr->can.bridge->fw_major >= major && instr->can.bridge->fw_minor >= minor;
}

} // namespace

extern "C" const char *can_node_name(uint8_t node) {
  for (const NodeName &entry : kNodeNames)
    if (entry.node == node)
      return entry.name;
  return nullptr;
}

extern "C" u_err_t can_error_code(int32_t can_err) {
  for (const LibraryError &entry : kLibraryErrors)
    if (entry.can_err == can_err)
      return entry.code;
  return ERR_UNKNOWN;
}

extern "C" u_err_t can_sdo_read2(uint8_t node, uint16_t index, uint8_t subindex, void *data,
                                 uint32_t bytes, bool activity, u_err_t abort_code,
                                 const char *caller) {
  return sdo_transfer(false, node, index, subindex, data, bytes, activity, abort_code, caller);
}

extern "C" u_err_t can_sdo_write2(uint8_t node, uint16_t index, uint8_t subindex, const void *data,
                                  uint32_t bytes, bool activity, u_err_t abort_code,
                                  const char *caller) {
  // The library takes a writable buffer but only reads a write's bytes.
  return sdo_transfer(true, node, index, subindex, const_cast<void *>(data), bytes, activity,
                      abort_code, caller);
}

extern "C" u_err_t find_bridge(can_bridge *bridge) {
  if (!bridge)
    return ERR_INVALID_PARAM;
  char mac_text[18];
  format_mac(bridge->mac, mac_text);
  std::memset(bridge->ip, 255, sizeof bridge->ip);
  if (bridge->mac[0] == 255) {
    u_msg_stamped("%s: no CAN bridge MAC address is configured\n", "find_bridge");
    return ERR_CAN_MACADDRESS_ERROR;
  }
  constexpr int kTries = 3;
  Search search = Search::Missed;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    search = search_bridges(*bridge);
    if (search == Search::Failed)
      return ERR_CAN_FINDING_BRIDGE;
    if (search == Search::Found)
      break;
    if (attempt < kTries) {
      u_sleep(2000);
      u_idle_hook();
    }
  }
  if (search != Search::Found) {
    u_msg_stamped("CAN bridge with MAC address %s not found on network\n", mac_text);
    return ERR_CAN_MACADDRESS_ERROR;
  }
  u_msg_hook("Found CAN bridge\n");
  u_msg_hook("MAC address: %s\n", mac_text);
  u_msg_hook("IP  address: %d.%d.%d.%d\n", bridge->ip[0], bridge->ip[1], bridge->ip[2],
             bridge->ip[3]);
  return ERR_NONE;
}

extern "C" bool find_node(uint8_t node, const char *name) {
  uint8_t status = 0;
  int32_t result = can_lib()->CAN_FindNode(node, &status);
  if (result != CAN_LIB_OK) {
    u_msg_stamped("%s: Error finding node %s: CAN_FindNode canErr = %d\n", "find_node", name,
                  result);
    return false;
  }
  if (status != CAN_NODE_FOUND) {
    u_msg_stamped("%s: Error finding node %s: CAN_FindNode status = %d\n", "find_node", name,
                  status);
    return false;
  }
  return true;
}

extern "C" bool wait_for_node_operational(uint8_t node, const char *name) {
  constexpr int kPolls = 10;
  uint8_t state = 0;
  for (int poll = 0; poll < kPolls; ++poll) {
    int32_t result = can_lib()->CAN_GetNodeState(node, &state);
    if (result != CAN_LIB_OK) {
      u_msg_hook("%s: Error waiting for node %s operational: CAN_GetNodeState canErr = %d\n",
                 "wait_for_node_operational", name, result);
      return false;
    }
    if (state == CAN_NODE_OPERATIONAL)
      return true;
    u_sleep(200);
    u_idle_hook();
  }
  u_msg_hook("%s: Timeout waiting for node %s operational: CAN_GetNodeState status = %d\n",
             "wait_for_node_operational", name, state);
  return false;
}

extern "C" bool get_operational_node(sys_info *instr, uint8_t node, const char *name,
                                     uint32_t *product_id) {
  if (!find_node(node, name) || !wait_for_node_operational(node, name))
    return false;
  uint32_t id = 0;
  u_err_t err = can_read_productID(instr, node, &id);
  if (err != ERR_NONE) {
    u_msg_hook("%s: Error getting node %s product ID: %s\n", "get_operational_node", name,
               u_error_name(err));
    return false;
  }
  if (product_id)
    *product_id = id;
  return true;
}

extern "C" u_err_t can_reset_bridge(sys_info *instr) {
  int32_t result = can_lib()->CAN_ResetBridge();
  if (result != CAN_LIB_OK) {
    u_msg_hook("CAN_ResetBridge canErr %d\n", result);
    return ERR_HW_FAIL;
  }
  return ERR_NONE;
}

namespace {

struct FaultText {
  uint32_t bit;
  const char *text;
};

constexpr FaultText kPztFaults[] = {
    {0x01, "Triple PZT node: Large aperture channel A fault\n"},
    {0x02, "Triple PZT node: Large aperture channel B fault\n"},
    {0x04, "Triple PZT node: Large aperture channel C fault\n"},
    {0x10, "Triple PZT node: High voltage supply under-voltage fault\n"},
    {0x20, "Triple PZT node: High voltage supply over-voltage fault\n"},
    {0x40, "Triple PZT node: VSync lost\n"},
};

u_err_t power_fault(const char *text) {
  u_msg_stamped("%s", text);
  return ERR_INST_POWER;
}

} // namespace

extern "C" u_err_t can_check_power_status(sys_info *instr) {
  if (!instr)
    return ERR_SYS_INFO_NOT_AVAIL;
  uint8_t status = 0;
  u_err_t err = can_read_bridge_status(instr, &status);
  if (err != ERR_NONE)
    return err;
  if (!(status & CAN_BRIDGE_STATUS_12V_GOOD))
    return power_fault("Bridge Status: External 12V power fault\n");
  if (status & CAN_BRIDGE_STATUS_MINUS_12V_TRIP)
    return power_fault("Bridge Status: -12V power trip\n");
  if (status & CAN_BRIDGE_STATUS_PLUS_12V_TRIP)
    return power_fault("Bridge Status: +12V power trip\n");
  if (!instr->can.present.triple_pzt && !instr->can.present.large_ap)
    return ERR_NONE;
  uint32_t faults = 0;
  err = can_read_pztramp_errchk(instr, &faults);
  if (err != ERR_NONE)
    return err;
  for (const FaultText &fault : kPztFaults)
    if (faults & fault.bit)
      return power_fault(fault.text);
  return ERR_NONE;
}

extern "C" u_err_t can_init_node_availability(sys_info *instr) {
  if (!instr)
    return ERR_SYS_INFO_NOT_AVAIL;
  sys_info_can &can = instr->can;
  can.present.brush_motor = 0;
  can.present.triple_pzt = 0;
  uint8_t states[CAN_NODE_COUNT] = {};
  int32_t result = can_lib()->CAN_EnumerateNodes(states);
  if (result != CAN_LIB_OK) {
    u_msg_stamped("%s: CAN_EnumerateNodes canErr = %d\n", "can_init_node_availability", result);
    return can_error_code(result);
  }
  auto present = [&states](uint8_t node) { return states[node] == CAN_NODE_PRESENT; };
  auto yes_no = [](bool yes) { return yes ? "Yes" : "No"; };
  auto ignore = [](uint8_t expected) { return expected ? "" : ", Ignore"; };
  can.present.brush_motor = present(CAN_NODE_ID_BRUSHMOTOR);
  can.present.triple_pzt = present(CAN_NODE_ID_TRIPLEPZT);
  u_msg_hook("Instrument CAN node status:\n");
  u_msg_hook("  Ramper           : %s  \n", yes_no(present(CAN_NODE_ID_RAMP)));
  u_msg_hook("  LED              : %s  \n", yes_no(present(CAN_NODE_ID_LED)));
  u_msg_hook("  Dual Brush Motor : %s%s\n", yes_no(can.present.brush_motor),
             ignore(can.expected.brush_motor));
  u_msg_hook("  Triple PZT       : %s%s\n", yes_no(can.present.triple_pzt),
             ignore(can.expected.triple_pzt));
  return ERR_NONE;
}

extern "C" void can_dll_version(int *major, int *minor) {
  int found_major = 0, found_minor = 0;
  char path[257];
  uint16_t parts[4];
  if (can_lib_available() && plat_loaded_library_path(CAN_BRIDGE_LIB_NAME, path, sizeof path) &&
      plat_file_version(path, parts)) {
    found_major = parts[0];
    found_minor = parts[1];
  }
  if (major)
    *major = found_major;
  if (minor)
    *minor = found_minor;
}

extern "C" bool can_fw_newer_than_1_11(const sys_info *instr) {
  if (!instr || !instr->can.bridge)
    return false;
  return instr->can.bridge->fw_major > 1 || instr->can.bridge->fw_minor > 11;
}

extern "C" bool can_fw_min_6_6(const sys_info *instr) {
  return fw_at_least_each(instr, 6, 6);
}

extern "C" bool can_fw_min_7_3(const sys_info *instr) {
  return fw_at_least_each(instr, 7, 3);
}
