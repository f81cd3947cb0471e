#pragma once
// Device control table: the host registers the devices it talks to (serial
// instrument boards, motion controllers, the CAN instrument's event source)
// and waits in dev_data_read for whichever of them has something to
// deliver. One worker thread per process runs the devices' readiness tests
// while a caller waits; the named events "StartEvent", "StopEvent",
// "DoneEvent1" and "DoneEvent2" carry the handshake between the two.
//
// Every operation may be called from any thread: the table is guarded by a
// short lock, so registration, removal and event-state changes may happen
// while a dev_data_read runs on another thread. Only one dev_data_read runs
// at a time; a second concurrent caller gets the set-up error.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"
#include "platform/sync.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  DEV_MAX_DEVICES = 10,
  // The device types, single bits.
  DEV_TYPE_OWNER = 1,  // readiness chosen by the owner's communication kind
  DEV_TYPE_SERIAL = 2, // serial instrument boards; 4, 8 and 16 are serial too
  DEV_TYPE_NONE = 32,  // no readiness test: never becomes ready
  DEV_TYPE_CAN = 64,   // the CAN instrument's event source
  // The wanted-type mask of every type.
  DEV_TYPE_ALL = 0xFFFF,
  // dev_data_read's result when no device became ready.
  DEV_NOTHING_READY = 0x10000,
  // Device handle of the CAN event source: 'C' 'A' 'N'.
  DEV_CAN_HANDLE = 0x43414E,
  // Entry states and event states.
  DEV_STATE_IN_USE = 1,
  DEV_STATE_FREE = -1,
  DEV_EVENT_WATCHED = 1,
  DEV_EVENT_IGNORED = 0,
  // A caller's wait for a ready device, per cycle, and the worker's pause
  // between two passes over the table, in ms (scaled).
  DEV_CYCLE_MS = 100,
  DEV_PASS_PAUSE_MS = 50,
  // Longest a caller waits for the worker to come back idle at the end of a
  // cycle, a removal for a device's test to return, and a closing for the
  // worker to end, in ms (scaled). The worker's tests never block, so only
  // a fault gets anywhere near it.
  DEV_WORKER_BOUND_MS = 30000
};

// Communication kinds of a type-1 owner.
enum {
  DEV_COMM_SERIAL = 1, // bytes waiting on the serial port of the device handle
  DEV_COMM_EVENT = 2,  // the owner's event is signalled
  DEV_COMM_MWI = 3     // the motion wrapper library's HasEvent_MWI(connection)
};

// The owner record of a type-1 device, filled by the host. The worker
// reads event and connection while the device is registered: change them
// only while it is not. An owner event is reset by the test that reports
// it, so each signal is reported once; an auto-reset event makes the test
// and its reset one step.
typedef struct dev_owner {
  int32_t comm;       // DEV_COMM_*
  plat_event *event;  // DEV_COMM_EVENT
  int32_t connection; // DEV_COMM_MWI
} dev_owner;

// A readiness test: true when the device has something to deliver. Runs on
// the worker thread and must not block.
typedef bool (*dev_ready_fn)(int64_t handle, void *owner);

// One entry of the table.
typedef struct dev_info {
  int64_t handle;      // -1 when free
  int32_t state;       // DEV_STATE_*
  int32_t type;        // DEV_TYPE_* bit, 0 when free
  int32_t event_state; // DEV_EVENT_*
  dev_ready_fn test;   // none for type 32
  void *owner;         // sys_info, dev_owner, or none
} dev_info;

// The device a dev_data_read caller is handed.
typedef struct dev_record {
  int64_t handle;
  int32_t state;
  int32_t type;
  void *owner;
} dev_record;

// Creates the events and the worker thread; clears the table when asked or
// on first use. 0 or ERR_DEV_CNTRL.
FERRY_API u_err_t dev_init_cntrl(bool reinitialise);
// True for exactly the seven device types; prints the invalid ones.
FERRY_API bool dev_type_valid(int32_t type);
// Registers a device: 0, ERR_DEV_CNTRL (not initialised, invalid type, full
// table, a CAN source while no CAN event test is installed),
// ERR_INVALID_PARAM (handle -1; type 1 without an owner, or with an owner
// event missing) or ERR_MC_NOT_AVAIL (type 1 of an unknown communication
// kind, or of kind 3 while no motion wrapper library is bound).
FERRY_API u_err_t dev_add_device(int32_t type, int64_t handle, void *owner);
// Frees the first entry holding handle: 0, ERR_DEV_CNTRL, ERR_INVALID_PARAM
// (handle -1) or ERR_PARAM_OUT_OF_RANGE (not registered). When the
// device's test is running on the worker, waits until it has returned, so
// the owner record may be freed once this returns 0.
FERRY_API u_err_t dev_remove_device(int64_t handle);
// True when an entry holds handle; prints nothing.
FERRY_API bool dev_is_registered(int64_t handle);
// Watches (1) or ignores (0) the first entry holding handle: 0,
// ERR_DEV_CNTRL, ERR_INVALID_PARAM or ERR_PARAM_OUT_OF_RANGE.
FERRY_API u_err_t dev_set_event_state(int64_t handle, int32_t state);
// Waits for a registered device of a wanted type (mask DEV_TYPE_ALL or one
// type) to become ready: its type, with the device in *device;
// DEV_NOTHING_READY when none did (wait false: after one cycle; wait true:
// when nothing could ever become ready, or the abort hook asked to stop);
// 0 after a set-up error (not initialised, invalid mask, another caller
// inside, the worker not answering).
FERRY_API int32_t dev_data_read(int32_t type_mask, dev_record *device, bool wait);
// Stops and joins the worker, then closes the four events; the table keeps
// its devices for the next dev_init_cntrl. Waits for a dev_data_read under
// way to end its cycle first.
FERRY_API void dev_close_cntrl(void);

// A copy of entry index (0..9) as it is now; false outside the table.
FERRY_API bool dev_get_entry(int32_t index, dev_info *entry);

// The readiness test of the CAN event source (type 64). The CAN module
// installs its event pump here before it registers the source; while the
// slot is empty, dev_add_device refuses type 64. Null empties the slot.
FERRY_API void dev_set_can_event_test(dev_ready_fn test);

#ifdef __cplusplus
}
#endif
