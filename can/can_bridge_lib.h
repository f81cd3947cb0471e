#pragma once
// The CAN bridge library (TarnCANopen.dll; libTarnCANopen.so on POSIX): its
// record layouts and its 17 entry points, bound at run time on first use.
//
// Every entry point answers a result code: 1 is success, -1 to -6 are the
// failures can_error_code names, anything else is an unlisted failure.
// While the library or one of its entry points is missing, every call
// answers -2 (not connected), so callers take their not-connected path.

#include <stdbool.h>
#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The library's file name, as the system of the host knows it on Windows.
#define CAN_BRIDGE_LIB_NAME "TarnCANopen.dll"

enum {
  CAN_LIB_OK = 1,
  CAN_LIB_NOT_CONNECTED = -2,
  // Room of the bridge search and of the node enumeration.
  CAN_MAX_BRIDGES = 127,
  CAN_NODE_COUNT = 128,
  // Status bytes of the node calls and of the enumeration.
  CAN_NODE_FOUND = 2,
  CAN_NODE_OPERATIONAL = 2,
  CAN_NODE_PRESENT = 2,
  // Transfer result of a completed SDO.
  CAN_SDO_DONE = 1
};

#pragma pack(push, 1)
// One bridge found on the network: 10 bytes, IP address then MAC address.
typedef struct can_bridge_entry {
  uint8_t ip[4];
  uint8_t mac[6];
} can_bridge_entry;
#pragma pack(pop)

// Outcome of one SDO transfer: a word the library keeps for itself, the
// transfer result (CAN_SDO_DONE) and the node's abort code.
typedef struct can_sdo_status {
  uint32_t reserved;
  int32_t result;
  uint32_t abort_code;
} can_sdo_status;

// A PDO registration: word 0 is the COB-ID, nothing else is set.
typedef struct can_pdo_desc {
  uint32_t cob_id;
  uint32_t unused[4];
} can_pdo_desc;

// One received PDO: bytes 0-3 the COB-ID, 12-19 the data; bytes 4-11 are the
// library's (the motion library's path puts its second word in word 2).
typedef struct can_pdo_record {
  uint32_t cob_id;
  uint32_t word1;
  uint32_t word2;
  uint8_t data[8];
} can_pdo_record;

// Handlers the library calls from its own thread.
typedef void (*can_pdo_handler_fn)(int32_t waiting, int32_t overrun);
typedef void (*can_emcy_handler_fn)(uint32_t first, uint32_t second, const uint8_t *data12,
                                    uint8_t byte_value);

// The entry points: X(name, parameter list, argument list). Everything that
// declares, binds or implements them expands this one list.
#define CAN_BRIDGE_ENTRY_POINTS(X)                                                                 \
  X(CAN_EnumerateBridges, (can_bridge_entry * entries, int32_t capacity), (entries, capacity))     \
  X(CAN_Connect, (uint32_t ip_address), (ip_address))                                              \
  X(CAN_Disconnect, (void), ())                                                                    \
  X(CAN_GetFirmwareVersion, (uint8_t * major, uint8_t * minor), (major, minor))                    \
  X(CAN_GetBridgeConfiguration, (uint8_t * setting, uint32_t * value), (setting, value))           \
  X(CAN_SetBridgeConfiguration, (uint8_t setting, uint32_t value), (setting, value))               \
  X(CAN_GetLastBridgeError, (uint32_t * error), (error))                                           \
  X(CAN_ResetBridge, (void), ())                                                                   \
  X(CAN_EnumerateNodes, (uint8_t * states), (states))                                              \
  X(CAN_FindNode, (uint8_t node, uint8_t * status), (node, status))                                \
  X(CAN_GetNodeState, (uint8_t node, uint8_t * state), (node, state))                              \
  X(CAN_SDORead,                                                                                   \
    (uint8_t node, uint16_t index, uint8_t subindex, void *data, uint32_t bytes,                   \
     can_sdo_status *status),                                                                      \
    (node, index, subindex, data, bytes, status))                                                  \
  X(CAN_SDOWrite,                                                                                  \
    (uint8_t node, uint16_t index, uint8_t subindex, void *data, uint32_t bytes,                   \
     can_sdo_status *status),                                                                      \
    (node, index, subindex, data, bytes, status))                                                  \
  X(CAN_RegisterPDO, (can_pdo_desc descriptor), (descriptor))                                      \
  X(CAN_UnregisterPDOs, (void), ())                                                                \
  X(CAN_RegisterEvents, (can_pdo_handler_fn pdo_handler, can_emcy_handler_fn emcy_handler),        \
    (pdo_handler, emcy_handler))                                                                   \
  X(CAN_GetPDO, (can_pdo_record * record), (record))

#define CAN_BRIDGE_TYPEDEF(name, params, args) typedef int32_t(*name##_fn) params;
CAN_BRIDGE_ENTRY_POINTS(CAN_BRIDGE_TYPEDEF)
#undef CAN_BRIDGE_TYPEDEF

// The bound entry points.
typedef struct can_bridge_lib {
#define CAN_BRIDGE_SLOT(name, params, args) name##_fn name;
  CAN_BRIDGE_ENTRY_POINTS(CAN_BRIDGE_SLOT)
#undef CAN_BRIDGE_SLOT
} can_bridge_lib;

// The entry points, binding the library on the first call. When the library
// or an entry point is missing, one line through the message hook says
// which, and every slot answers CAN_LIB_NOT_CONNECTED. Never null.
FERRY_API const can_bridge_lib *can_lib(void);

// True when the library is bound with all its entry points (binds it).
FERRY_API bool can_lib_available(void);

// Forgets the binding, so the next call binds again (after the host has
// changed the library folder, say). A loaded library stays loaded: it may
// run a thread of its own. Call it while no bridge is connected.
FERRY_API void can_lib_rebind(void);

#ifdef __cplusplus
}
#endif
