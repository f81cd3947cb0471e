/* A host program in C: powers a CAN instrument on, waits for what its nodes
 * report through the device control table, prints the events and powers
 * the instrument off.
 *
 * The instrument here is the simulated bridge library (sim/can_bridge),
 * staged through its control interface: a bridge with a primary wand, a
 * focus and ND wheel node and an auxiliary motor (system type 26). A host
 * on a real instrument does the same minus the staging, with the maker's
 * TarnCANopen library in the library folder.
 *
 *   can_host [library folder]
 *
 * The library folder holds TarnCANopen.dll (libTarnCANopen.so on POSIX);
 * without the argument, FERRY_LIBRARY_DIR names it. */

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "base/hooks.h"
#include "base/sys_info.h"
#include "can/can_bridge.h"
#include "can/can_bridge_lib.h"
#include "can/can_events.h"
#include "can/can_power.h"
#include "device/dev_cntrl.h"
#include "platform/dynlib.h"
#include "sim/can_bridge/can_sim.h"

static const uint8_t bridge_mac[6] = {0x00, 0x50, 0xC2, 0x7A, 0x01, 0xF3};
static const uint8_t bridge_ip[4] = {192, 168, 7, 20};

/* Every library message, on standard output after a mark of its own. A
 * message may arrive in pieces (a time stamp, then its text): the mark goes
 * before the first piece of each line. */
static int line_open = 0;
static int library_message(const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n <= 0)
    return n;
  printf("%s%s", line_open ? "" : "lib: ", text);
  line_open = text[strlen(text) - 1] != '\n';
  fflush(stdout);
  return n;
}

/* Waits for the instrument end when the host gives up: here after 20 s. */
static time_t deadline;
static int give_up(int unused) {
  (void)unused;
  return time(NULL) > deadline;
}

/* The simulated library, loaded once more to reach its control interface
 * (the same module the library binds). */
static plat_dynlib *simulator_lib;
static const cansim_api *simulator(void) {
  cansim_control_fn control;
  simulator_lib = plat_dynlib_load(CAN_BRIDGE_LIB_NAME);
  if (!simulator_lib)
    return NULL;
  control = (cansim_control_fn)plat_dynlib_symbol(simulator_lib, CANSIM_CONTROL_SYMBOL);
  return control ? control() : NULL;
}

/* A system type 26 instrument: primary wand, focus and ND wheel (firmware
 * 4.3), auxiliary motor; the bridge configured already. */
static void stage_instrument(const cansim_api *sim) {
  sim->reset();
  sim->add_bridge(bridge_mac, bridge_ip);
  sim->set_firmware(2, 5);
  sim->set_configuration(127, 1000);
  sim->add_node(CAN_NODE_ID_RAMP, 0x1001, 1, 0);
  sim->add_node(CAN_NODE_ID_WAND, 0x1002, 1, 0);
  sim->add_node(CAN_NODE_ID_FOCUS_NDW, 0x1003, 4, 3);
  sim->add_node(CAN_NODE_ID_AUX_MOTOR, 0x1004, 1, 0);
  sim->set_homing(1, 0x00, 1);
  sim->set_motion_polls(CAN_NODE_ID_AUX_MOTOR, 1);
}

/* What the nodes do while the host waits: an emergency of the wheel node,
 * then the three wand keys. */
static void press_keys(const cansim_api *sim) {
  const uint8_t emcy[12] = {0x10, 0x81, 0x11};
  uint8_t key;
  sim->queue_emcy(0x80 + CAN_NODE_ID_FOCUS_NDW, 0x8110, emcy, 0x11);
  for (key = 1; key <= 3; ++key) {
    uint8_t data[8] = {0};
    data[0] = key;
    sim->queue_pdo(0x180 + CAN_NODE_ID_WAND, data);
  }
}

static const char *event_name(int32_t code) {
  switch (code) {
  case CAN_EV_WAND_KEY1:
    return "wand key 1";
  case CAN_EV_WAND_KEY2:
    return "wand key 2";
  case CAN_EV_WAND_KEY3:
    return "wand key 3";
  case CAN_EV_FOCUS_REPORT:
    return "focus report";
  default:
    return "other event";
  }
}

/* Takes every entry waiting in the two lists; returns how many. */
static int take_events(void) {
  can_event_entry event;
  can_decoded_event decoded;
  int taken = 0;
  while (can_event_take(&event)) {
    printf("event: emergency 0x%X 0x%X, byte 0x%02X\n", (unsigned)event.emcy.first,
           (unsigned)event.emcy.second, (unsigned)event.emcy.byte_value);
    ++taken;
  }
  while (can_decoded_event_take(&decoded)) {
    printf("event: %s (COB-ID 0x%X, data %u)\n", event_name(decoded.code),
           (unsigned)decoded.pdo.cob_id, (unsigned)decoded.pdo.data[0]);
    ++taken;
  }
  fflush(stdout);
  return taken;
}

int main(int argc, char **argv) {
  const cansim_api *sim;
  sys_info *instr = &sys_info_instruments[0];
  can_bridge bridge;
  u_err_t err;
  int seen = 0;

  u_msg_hook = library_message;
  if (argc > 1)
    plat_set_library_dir(argv[1]);
  sim = simulator();
  if (!sim) {
    plat_dynlib_unload(simulator_lib);
    printf("host: no simulated bridge library in the library folder\n");
    return 2;
  }
  stage_instrument(sim);

  memset(&bridge, 0, sizeof bridge);
  memcpy(bridge.mac, bridge_mac, sizeof bridge.mac);
  memset(instr, 0, sizeof *instr);
  instr->instrBdType = 8;
  instr->sys_type = 26;
  instr->can.expected.wand = 1;
  instr->can.expected.focus_ndw = 1;
  instr->can.syncgen_rate = 60;
  instr->can.bridge = &bridge;

  if (dev_init_cntrl(false) != ERR_NONE)
    return 3;
  err = can_inst_on(instr);
  if (err != ERR_NONE) {
    printf("host: power-on failed: %s\n", u_error_name(err));
    return 4;
  }

  deadline = time(NULL) + 20;
  u_abort_hook = give_up;
  press_keys(sim);
  while (seen < 4) {
    dev_record device;
    int32_t type = dev_data_read(DEV_TYPE_ALL, &device, true);
    if (type != DEV_TYPE_CAN || device.owner != instr)
      break;
    seen += take_events();
  }
  u_abort_hook = u_abort_never;

  err = can_inst_off(instr);
  plat_dynlib_unload(simulator_lib);
  if (err != ERR_NONE || seen != 4) {
    printf("host: %d events, power-off %s\n", seen, u_error_name(err));
    return 5;
  }
  printf("host: done\n");
  return 0;
}
