#pragma once
// Control interface of the simulated CAN bridge library (TarnCANopen.dll /
// libTarnCANopen.so built from sim/can_bridge): the virtual instrument
// behind the 17 bridge entry points, steered by tests and example hosts.
//
// Reaching it: load the simulated library the way the CAN modules do (the
// same library folder, so the same loaded module), look up the one entry
// point CANSIM_CONTROL_SYMBOL and call it:
//
//   plat_dynlib *lib = plat_dynlib_load("TarnCANopen.dll");
//   cansim_control_fn control = (cansim_control_fn)plat_dynlib_symbol(lib, CANSIM_CONTROL_SYMBOL);
//   const cansim_api *sim = control();
//   sim->add_bridge(mac, ip);
//
// Everything behind it is deterministic: node behaviours advance one step
// per status read (or per tick), never by the clock. Only PDOs and
// emergencies travel on the library's own thread; flush waits until the
// registered handlers have had them.
//
// Starting state (and after reset): no bridge, not connected, configuration
// (0, 0), firmware 1.0, no bridge error, no nodes, no scripts, empty logs.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CANSIM_CONTROL_SYMBOL "cansim_control"

// One SDO transfer as the instrument saw it.
typedef struct cansim_access {
  char kind; // 'R' or 'W'
  uint8_t node;
  uint16_t index;
  uint8_t subindex;
  uint32_t size;
  // The first (up to) 8 bytes transferred, little-endian.
  uint64_t value;
  // What the call answered: the library result, the transfer result and
  // the abort code it put in the status record.
  int32_t result;
  int32_t transfer_result;
  uint32_t abort_code;
} cansim_access;

typedef struct cansim_api {
  // sizeof(cansim_api), for a host built against another version.
  uint32_t size;

  // Back to the starting state; handlers are dropped and the delivery
  // thread stops.
  void (*reset)(void);

  // --- Bridges -------------------------------------------------------------
  // A bridge on the network. CAN_Connect takes the 4 IP bytes copied into a
  // 32-bit value (byte 0 first in memory).
  void (*add_bridge)(const uint8_t mac[6], const uint8_t ip[4]);
  void (*set_firmware)(uint8_t major, uint8_t minor);
  // The configuration in effect now; CAN_SetBridgeConfiguration takes
  // effect at the next CAN_Connect.
  void (*set_configuration)(uint8_t setting, uint32_t value);
  void (*configuration)(uint8_t *setting, uint32_t *value);
  // CAN_GetLastBridgeError reports error until CAN_ResetBridge has been
  // called resets_to_clear times (-1: never clears).
  void (*set_last_error)(uint32_t error, int32_t resets_to_clear);
  // The IP value of the connection, 0 while not connected.
  uint32_t (*connected_ip)(void);

  // --- Nodes ---------------------------------------------------------------
  // A node with its identity (0x1018/2 and /3) and the objects its kind
  // carries; operational and found at once.
  void (*add_node)(uint8_t node, uint32_t product_id, uint16_t major, uint16_t minor);
  void (*remove_node)(uint8_t node);
  // The status CAN_FindNode reports (2: found).
  void (*set_find_status)(uint8_t node, uint8_t status);
  // CAN_GetNodeState reports state_before until the polls-th call, which
  // (and every later one) reports 2.
  void (*set_operational_after)(uint8_t node, int32_t polls, uint8_t state_before);
  // Objects: bytes little-endian; a read of an object the node lacks is
  // aborted with 0x06020000.
  void (*set_object)(uint8_t node, uint16_t index, uint8_t subindex, const void *bytes,
                     uint32_t size);
  void (*set_object_value)(uint8_t node, uint16_t index, uint8_t subindex, uint32_t value,
                           uint32_t size);
  // 1 and the value (first 4 bytes) when the node has the object, else 0.
  int32_t (*object_value)(uint8_t node, uint16_t index, uint8_t subindex, uint32_t *value);

  // --- Behaviours: one step per status read or tick -------------------------
  // A motor-2 current write (0x2034/0) makes the node's motor-2 status
  // (0x2021/0) show moving (0x02) for that many reads; then the disk's
  // position (0x2047/0) becomes 1 for a positive current, 2 for a negative.
  void (*set_motion_polls)(uint8_t node, int32_t polls);
  // ND wheel homing, started by writing 3 to node 64's motor-2 control
  // (0x2020/0): its status shows searching (0x0A) for search_polls steps,
  // then home_result (0x00 found, 0x10 failed) with moving (0x02) for
  // move_polls steps, then home_result alone.
  void (*set_homing)(int32_t search_polls, uint8_t home_result, int32_t move_polls);
  // Writing the ramp start (node 127, 0x2000/0) or the PIFOC offset
  // (0x2009/1) makes the ramp status (0x2000/0) read 1 for that many reads.
  void (*set_ramp_busy_polls)(int32_t polls);
  // One step of the ND wheel homing, reported as the node's second PDO
  // (COB-ID 0x2C0, data byte 0 the status).
  void (*tick)(void);

  // --- Scripted failures ------------------------------------------------------
  // The named entry point answers result (-1 to -6, 0 or any other) on
  // `times` calls (-1: all) after `after` calls that behave.
  void (*fail_call)(const char *entry_point, int32_t result, int32_t after, int32_t times);
  // SDO transfers of that object answer 1 with this transfer result and
  // abort code on `times` calls (-1: all).
  void (*abort_sdo)(uint8_t node, uint16_t index, uint8_t subindex, uint32_t abort_code,
                    int32_t transfer_result, int32_t times);

  // --- Logs ---------------------------------------------------------------------
  uint32_t (*call_count)(const char *entry_point);
  uint32_t (*access_count)(void);
  // 1 and the entry, or 0 past the end.
  int32_t (*access_entry)(uint32_t i, cansim_access *entry);
  // Copies up to `bytes` of the entry's data; returns the entry's size.
  uint32_t (*access_data)(uint32_t i, void *buffer, uint32_t bytes);
  // Forgets the access log and the call counts.
  void (*clear_log)(void);
  // The registered PDO COB-IDs in order (up to room); returns their number.
  uint32_t (*registered_pdos)(uint32_t *cob_ids, uint32_t room);
  int32_t (*handlers_registered)(void);

  // --- PDOs and emergencies -----------------------------------------------------
  // Queued for the delivery thread, which hands them to the registered
  // handlers (PDOs through CAN_GetPDO), in order.
  void (*queue_pdo)(uint32_t cob_id, const uint8_t data[8]);
  void (*queue_emcy)(uint32_t first, uint32_t second, const uint8_t data[12], uint8_t byte_value);
  // The next handler call carries the overrun flag (also with no PDO).
  void (*set_overrun)(void);
  // Waits up to timeout_ms (real time) until everything queued has been
  // handed over and no handler runs; 1 when so, 0 otherwise.
  int32_t (*flush)(uint32_t timeout_ms);
} cansim_api;

typedef const cansim_api *(*cansim_control_fn)(void);

#ifdef __cplusplus
}
#endif
