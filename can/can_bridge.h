#pragma once
// The instrument's CAN bus: the bridge record, the node numbers, the SDO
// wrappers every node access goes through, and finding the bridge and its
// nodes.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Node numbers; can_node_name gives each one's name for messages.
enum {
  CAN_NODE_ID_LARGEAP = 0x34,
  CAN_NODE_ID_LED = 0x3D,
  CAN_NODE_ID_TRIPLEPZT = 0x3E,
  CAN_NODE_ID_BRUSHMOTOR = 0x3F,
  CAN_NODE_ID_FOCUS_NDW = 0x40,
  CAN_NODE_ID_AUX_MOTOR = 0x42,
  CAN_NODE_ID_DD_RS = 0x44,
  CAN_NODE_ID_DD_ZOOM = 0x46,
  CAN_NODE_ID_WAND = 0x48,
  CAN_NODE_ID_WAND2 = 0x49,
  CAN_NODE_ID_RAMP = 0x7F
};

// "CAN_NODE_ID_LED" for 61 and so on; null for a number without a name.
FERRY_API const char *can_node_name(uint8_t node);

enum { CAN_ZOOM_TABLE_SIZE = 6, CAN_ZOOM_NO_READING = -2 };

// The host's record of the bridge of one instrument (sys_info.can.bridge).
typedef struct can_bridge {
  // In the order the bridge search gives them; all 255 before a search.
  uint8_t ip[4];
  // Set by the host; a first byte of 255 means none is configured.
  uint8_t mac[6];
  uint8_t fw_major;
  uint8_t fw_minor;
  // Zoom positions read from the brush motor node; CAN_ZOOM_NO_READING
  // where none was read.
  int32_t zoom_table[CAN_ZOOM_TABLE_SIZE];
  uint32_t led_product_id;
  uint32_t brmotor_product_id;
  // Keypress modes read back from the ring/spot disk, the zoom disk and
  // the focus node.
  uint8_t keypress_rs;
  uint8_t keypress_zoom;
  uint8_t keypress_focus;
} can_bridge;

// Bits of the bridge status byte (node 127, 0x2010/1).
enum {
  CAN_BRIDGE_STATUS_12V_GOOD = 0x08,
  CAN_BRIDGE_STATUS_MINUS_12V_TRIP = 0x04,
  CAN_BRIDGE_STATUS_PLUS_12V_TRIP = 0x02
};

// Bits of the bridge configuration word (node 127, 0x2010/2).
enum {
  CAN_BRIDGE_CONFIG_SCANNER_TRIGGER = 0x0800,
  CAN_BRIDGE_CONFIG_POWER_ON = 0x0100,
  CAN_BRIDGE_CONFIG_ON_BIT13 = 0x2000
};

// The catalogue code of a library result: 1 is 0, -1 to -6 their CAN codes,
// anything else ERR_UNKNOWN.
FERRY_API u_err_t can_error_code(int32_t can_err);

// The one road to a node object. The activity flag makes the access count
// as instrument activity (the host's sleep-mode timer); abort_code is what
// a transfer that the node aborts returns. Failures print with the caller's
// name (reads plain, writes time-stamped).
FERRY_API u_err_t can_sdo_read2(uint8_t node, uint16_t index, uint8_t subindex, void *data,
                                uint32_t bytes, bool activity, u_err_t abort_code,
                                const char *caller);
FERRY_API u_err_t can_sdo_write2(uint8_t node, uint16_t index, uint8_t subindex, const void *data,
                                 uint32_t bytes, bool activity, u_err_t abort_code,
                                 const char *caller);

// Looks the bridge's IP address up by its MAC address (3 tries, 2000 ms
// apart).
FERRY_API u_err_t find_bridge(can_bridge *bridge);

// True when the node answers the search, when it turns operational within
// 10 polls, and when both hold and its product ID reads.
FERRY_API bool find_node(uint8_t node, const char *name);
FERRY_API bool wait_for_node_operational(uint8_t node, const char *name);
FERRY_API bool get_operational_node(sys_info *instr, uint8_t node, const char *name,
                                    uint32_t *product_id);

// The identity object 0x1018: product ID (sub 2) and version (sub 3, major
// in the high 16 bits).
FERRY_API u_err_t can_read_productID(sys_info *instr, uint8_t node, uint32_t *product_id);
FERRY_API u_err_t can_read_version(sys_info *instr, uint8_t node, uint16_t *major, uint16_t *minor);

FERRY_API u_err_t can_read_bridge_status(sys_info *instr, uint8_t *status);
FERRY_API u_err_t can_reset_bridge(sys_info *instr);
// The bridge's supplies, then the faults of the PZT node the multiplexer
// selects.
FERRY_API u_err_t can_check_power_status(sys_info *instr);
// Enumerates the nodes of the LED-based families and prints their status.
FERRY_API u_err_t can_init_node_availability(sys_info *instr);

// The bridge library's file version (major, minor); 0 and 0 when unknown.
FERRY_API void can_dll_version(int *major, int *minor);

// Tests of the bridge firmware in the record, component by component (7.0
// fails can_fw_min_6_6); false without a record.
FERRY_API bool can_fw_newer_than_1_11(const sys_info *instr);
FERRY_API bool can_fw_min_6_6(const sys_info *instr);
FERRY_API bool can_fw_min_7_3(const sys_info *instr);

#ifdef __cplusplus
}
#endif
