#pragma once
// CAN event queues: what the instrument's nodes report on their own.
//
// The bridge library's thread (and the motion library's) hands PDOs and
// emergencies to the handlers here, which only copy them into two raw
// queues. The event pump, run by the device control worker or by a waiting
// CAN operation, moves emergencies into the event list and decodes PDOs,
// by the instrument's system family, into the decoded-event list, which the
// host reads.
//
// Locks: "TarnCanEventMutex" guards the pump, both lists and the decoder
// state; "TarnPdoQueueMutex" and "TarnEmcyQueueMutex" guard the raw queues,
// each held for one append or removal, taken alone or inside the event
// lock. They live from their first creation to the end of the process and
// are private to it.
//
// The queues and lists have fixed room; what does not fit is counted and
// reported once (can_events_dropped).

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "can/can_bridge_lib.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  // Room of the raw queues and of the two lists.
  CAN_PDO_QUEUE_ROOM = 16384,
  CAN_EMCY_QUEUE_ROOM = 4096,
  CAN_EVENT_LIST_ROOM = 4096,
  CAN_DECODED_LIST_ROOM = 4096
};

// Kind of every event list entry: an emergency.
enum { CAN_EVENT_EMERGENCY = 2 };

// Decoded event codes.
enum {
  CAN_EV_ZOOM_MOVE_DONE = 3,
  CAN_EV_ZOOM_POSITION = 4,
  CAN_EV_WAND_KEY1 = 5,
  CAN_EV_RS_REPORT1 = 6,
  CAN_EV_RS_REPORT2 = 7,
  CAN_EV_WAND_KEY2 = 8,
  CAN_EV_WAND_KEY3 = 9,
  CAN_EV_SLEEP_TICK = 10,
  CAN_EV_ZOOM_MOVING = 12,
  CAN_EV_FOCUS_REPORT = 13,
  CAN_EV_TURRET_POSITION = 14
};

// An emergency as the library passed it.
typedef struct can_emcy_record {
  uint32_t first;
  uint32_t second;
  uint8_t data[12];
  uint32_t byte_value;
} can_emcy_record;

// Entry of the event list: kind CAN_EVENT_EMERGENCY and the emergency.
typedef struct can_event_entry {
  int32_t kind;
  can_emcy_record emcy;
} can_event_entry;

// Entry of the decoded-event list: the code and the PDO that gave it (a
// sleep-mode tick carries a double in the PDO's last 8 bytes instead).
typedef struct can_decoded_event {
  int32_t code;
  can_pdo_record pdo;
} can_decoded_event;

// Creates the three locks on first use; later calls find them. 0, or
// ERR_UNKNOWN with a line naming the lock that could not be created.
FERRY_API u_err_t CanCreateSyncObjects(void);

// On: creates the locks, installs the handlers in the bridge library and
// registers the family's PDOs. Off: removes the handlers and every PDO.
FERRY_API u_err_t can_register_events(sys_info *instr, bool on);
FERRY_API u_err_t can_register_pdos(sys_info *instr);
// Drops the library's PDO registrations. The locks and queues stay.
FERRY_API void can_events_free_resources(void);

// The handlers of the bridge library and of the motion library.
FERRY_API void ReceivePdoHandler(int32_t waiting, int32_t overrun);
FERRY_API void ReceiveEmcyHandler(uint32_t first, uint32_t second, const uint8_t *data12,
                                  uint8_t byte_value);
FERRY_API void mc_pdo_handler(uint32_t cob_id, uint32_t second, const uint8_t *data8);
FERRY_API void mc_emcy_handler(uint32_t first, uint32_t second, const uint8_t *data12,
                               uint8_t byte_value);

// The event pump: true when the event list or the decoded-event list holds
// an entry afterwards. Safe from any thread.
FERRY_API bool can_process_events(sys_info *instr);

// The host's side of the lists, each under the event lock: take the oldest
// entry (false when the list is empty), or clear both lists.
FERRY_API bool can_event_take(can_event_entry *entry);
FERRY_API bool can_decoded_event_take(can_decoded_event *entry);
FERRY_API void can_events_clear(void);
// Entries waiting in each list.
FERRY_API void can_events_pending(uint32_t *events, uint32_t *decoded);
// Appends a decoded event of another source (the sleep-mode tick, code 10,
// with its double in the last 8 bytes of payload20).
FERRY_API void can_decoded_event_add(int32_t code, const uint8_t *payload20);

// Entries that found no room since the process started: in the PDO queue,
// the emergency queue, the event list and the decoded-event list.
typedef struct can_events_drops {
  uint64_t pdo_queue;
  uint64_t emcy_queue;
  uint64_t event_list;
  uint64_t decoded_list;
} can_events_drops;
FERRY_API void can_events_dropped(can_events_drops *drops);

// ND wheel state the pump keeps: the home status (data bits 0x18) and the
// moving status (data bit 0x02) of the wheel's last report.
FERRY_API uint8_t can_ndw_home_status(void);
FERRY_API uint8_t can_ndw_moving_status(void);

// The position a raw zoom code 0-7 stands for; -1 for any other code.
FERRY_API int32_t can_zoom_map(uint32_t raw);

// Decoder state that the power-on sequence resets: zoom move state idle,
// last zoom position unknown (255).
FERRY_API void can_events_reset_zoom_state(void);

#ifdef __cplusplus
}
#endif
