#include "can/can_power.h"

#include <array>
#include <cstring>
#include <iterator>
#include <mutex>

#include "base/console.h"
#include "base/hooks.h"
#include "can/can_accessors.h"
#include "can/can_bridge.h"
#include "can/can_bridge_lib.h"
#include "can/can_enc_zoom.h"
#include "can/can_events.h"
#include "can/can_host_ops.h"
#include "can/can_internal.h"
#include "can/can_moves.h"
#include "device/dev_cntrl.h"
#include "platform/sync.h"
#include "serial/wave_monitor.h"

using namespace ferry::can;

namespace {

constexpr const char *kOn = "can_inst_on";

// --- System families -------------------------------------------------------------

template <size_t N> bool one_of(int32_t sys_type, const std::array<int32_t, N> &types) {
  for (int32_t type : types)
    if (type == sys_type)
      return true;
  return false;
}

constexpr std::array<int32_t, 6> kFamilyA = {11, 13, 22, 28, 31, 34};
constexpr std::array<int32_t, 2> kFamilyB = {29, 35};
constexpr std::array<int32_t, 4> kFamilyKps = {23, 25, 26, 30};
// KPS systems without PZT nodes.
constexpr std::array<int32_t, 2> kFamilyKpsNoPzt = {32, 33};
constexpr std::array<int32_t, 3> kWaveMonitorTypes = {30, 32, 33};
constexpr std::array<int32_t, 2> kZoomTableTypes = {22, 31};
constexpr int32_t kAuxMotorType = 26;
// The secondary type whose bridge digital output 1 is set while powered.
constexpr int32_t kDigitalOutType2 = 29;

bool kps_family(int32_t sys_type) {
  return one_of(sys_type, kFamilyKps) || one_of(sys_type, kFamilyKpsNoPzt);
}

// --- Small helpers ---------------------------------------------------------------

void pause(uint32_t ms) {
  u_sleep(ms);
  u_idle_hook();
}

u_err_t precondition(const sys_info *instr) {
  if (!instr)
    return ERR_SYS_INFO_NOT_AVAIL;
  if (!is_can_board(instr))
    return ERR_WRONG_INSTR_BOARD;
  return instr->can.bridge ? ERR_NONE : ERR_HW_FAIL;
}

bool bring_up(sys_info *instr, uint8_t node, uint32_t *product_id = nullptr) {
  return get_operational_node(instr, node, can_node_name(node), product_id);
}

template <size_t N>
u_err_t check_product(const char *caller, uint8_t node, uint32_t id,
                      const std::array<uint32_t, N> &allowed) {
  for (uint32_t product : allowed)
    if (product == id)
      return ERR_NONE;
  u_msg_hook("%s: Invalid productID = %u for %s\n", caller, static_cast<unsigned>(id),
             can_node_name(node));
  return ERR_CAN_INVALID_PRODUCTID;
}

u_err_t missing(const char *message) {
  u_msg_hook("%s", message);
  return ERR_CAN_NODE_MISSING;
}

// Reads a byte through one accessor, changes it, and writes it back through
// another (only when it changed, if so asked).
enum class Write { Always, WhenChanged };

template <typename Read, typename WriteFn, typename Change>
u_err_t update_byte(sys_info *instr, Read read, WriteFn write, Change change,
                    Write when = Write::Always, uint8_t *kept = nullptr) {
  uint8_t value = 0;
  if (u_err_t err = read(instr, &value))
    return err;
  if (kept)
    *kept = value;
  uint8_t changed = change(value);
  if (when == Write::WhenChanged && changed == value)
    return ERR_NONE;
  return write(instr, changed);
}

constexpr uint8_t kMotorRun = 0x01;
constexpr uint8_t kKeypressBit = 0x02;

uint8_t with_bits(uint8_t value, uint8_t bits) {
  return static_cast<uint8_t>(value | bits);
}
uint8_t without_bits(uint8_t value, uint8_t bits) {
  return static_cast<uint8_t>(value & ~bits);
}

// Stops the motors of the diffuser disks that are there; the first failure
// is the result, but both are tried.
u_err_t stop_disk_motors(sys_info *instr) {
  auto stop = [](uint8_t value) { return without_bits(value, kMotorRun); };
  u_err_t first = ERR_NONE;
  if (instr->can.present.dd_zoom)
    first = update_byte(instr, can_read_zoom_dd_control, can_write_zoom_dd_control, stop);
  if (instr->can.present.dd_rs) {
    u_err_t err = update_byte(instr, can_read_rs_dd_control, can_write_rs_dd_control, stop);
    if (first == ERR_NONE)
      first = err;
  }
  return first;
}

void close_ndw_event(sys_info *instr) {
  plat_event_close(instr->can.ndw_stopped);
  instr->can.ndw_stopped = nullptr;
}

// --- The automatic gain control's hold ---------------------------------------------

// Power-ons of several instruments may overlap; the thread runs again when
// the last of them has ended.
struct AgcHolds {
  std::mutex lock;
  int32_t count = 0;
};

AgcHolds &agc_holds() {
  static AgcHolds holds;
  return holds;
}

void take_agc_hold(sys_info *instr) {
  AgcHolds &holds = agc_holds();
  std::lock_guard guard(holds.lock);
  if (holds.count++ == 0)
    can_get_host_ops()->can_agc_stop_thread(instr);
}

void release_agc_hold(sys_info *instr) {
  AgcHolds &holds = agc_holds();
  std::lock_guard guard(holds.lock);
  if (holds.count > 0 && --holds.count == 0)
    can_get_host_ops()->can_agc_start_thread(instr);
}

// --- Bridge steps --------------------------------------------------------------------

u_err_t connect_bridge(const can_bridge &bridge) {
  uint32_t ip = 0;
  std::memcpy(&ip, bridge.ip, sizeof ip);
  int32_t result = can_lib()->CAN_Connect(ip);
  if (result != CAN_LIB_OK) {
    u_msg_hook("%s: CAN_Connect canErr = %d\n", kOn, result);
    return ERR_CAN_FINDING_BRIDGE;
  }
  return ERR_NONE;
}

u_err_t bridge_call_failed(const char *call, int32_t result) {
  u_msg_hook("%s: %s canErr = %d\n", kOn, call, result);
  return ERR_CAN_BRIDGE_ERROR;
}

u_err_t read_firmware(can_bridge &bridge) {
  int32_t result = can_lib()->CAN_GetFirmwareVersion(&bridge.fw_major, &bridge.fw_minor);
  if (result != CAN_LIB_OK)
    return bridge_call_failed("CAN_GetFirmwareVersion", result);
  u_msg_hook("Bridge firmware version: major = %hu, minor = %hu\n",
             static_cast<unsigned short>(bridge.fw_major),
             static_cast<unsigned short>(bridge.fw_minor));
  int major = 0, minor = 0;
  can_dll_version(&major, &minor);
  u_msg_hook("DLL version: major = %d, minor = %d\n", major, minor);
  return ERR_NONE;
}

constexpr uint8_t kBridgeSetting = 127;
constexpr uint32_t kBridgeValue = 1000;

// The bridge takes a new configuration when it is connected again.
u_err_t configure_bridge(const can_bridge &bridge) {
  const can_bridge_lib *lib = can_lib();
  uint8_t setting = 0;
  uint32_t value = 0;
  int32_t result = lib->CAN_GetBridgeConfiguration(&setting, &value);
  if (result != CAN_LIB_OK)
    return bridge_call_failed("CAN_GetBridgeConfiguration", result);
  if (setting == kBridgeSetting && value == kBridgeValue)
    return ERR_NONE;
  result = lib->CAN_SetBridgeConfiguration(kBridgeSetting, kBridgeValue);
  if (result != CAN_LIB_OK)
    return bridge_call_failed("CAN_SetBridgeConfiguration", result);
  pause(2000);
  return connect_bridge(bridge);
}

// Resets the bridge until it reports no error, ten resets at most; the
// error is read once more after the last reset, so a bridge that reset
// cleared counts as cleared.
u_err_t clear_bridge_errors(sys_info *instr) {
  constexpr int kResets = 10;
  uint32_t error = 0;
  for (int resets = 0;; ++resets) {
    int32_t result = can_lib()->CAN_GetLastBridgeError(&error);
    if (result != CAN_LIB_OK)
      return bridge_call_failed("CAN_GetLastBridgeError", result);
    if (error == 0)
      return ERR_NONE;
    if (resets == kResets)
      break;
    if (u_err_t err = can_reset_bridge(instr))
      return err;
    pause(2000);
    if (u_err_t err = connect_bridge(*instr->can.bridge))
      return err;
  }
  u_msg_stamped("%s: Unable to reset bridge with no errors after 10 tries: ", kOn);
  u_msg_hook("CAN_GetLastBridgeError = %d\n", static_cast<int>(error));
  return ERR_CAN_BRIDGE_ERROR;
}

// --- After the nodes: ramps, host set-ups, reports ------------------------------------

u_err_t power_on_family(sys_info *instr) {
  can_events_reset_zoom_state();
  int32_t type = instr->sys_type;
  if (one_of(type, kFamilyA))
    return can_systype_a_on(instr);
  if (one_of(type, kFamilyB))
    return can_systype_b_on(instr);
  if (!kps_family(type))
    return ERR_WRONG_SYSTEM_TYPE;
  if (one_of(type, kFamilyKpsNoPzt)) {
    instr->can.expected.triple_pzt = 0;
    instr->can.expected.large_ap = 0;
  }
  instr->can.large_ap_in_use = 0;
  instr->can.pzt_state = -1;
  return can_kps_on(instr);
}

// The wave monitor's state and calibration, read from the device when the
// host has opened its link, then whatever the host sets up besides.
u_err_t set_up_wave_monitor(sys_info *instr) {
  if (instr->serial.wm_link) {
    if (u_err_t err = wm_update_status(instr))
      return err;
    wm_print_calibration(&instr->serial.wm);
  }
  return can_get_host_ops()->wave_monitor_setup(instr);
}

u_err_t host_set_ups(sys_info *instr) {
  const can_host_ops *ops = can_get_host_ops();
  u_err_t err = ops->load_ramps(instr);
  if (err != ERR_NONE && err != ERR_NO_RAMP_INFO)
    return err;
  if (one_of(instr->sys_type, kWaveMonitorTypes))
    if (u_err_t wm = set_up_wave_monitor(instr))
      return wm;
  if (u_err_t pedestal = ops->pedestal_file_name(instr))
    return pedestal;
  if (instr->can.sleep_mode == SYS_INFO_SLEEP_MODE1 ||
      instr->can.sleep_mode == SYS_INFO_SLEEP_MODE2) {
    err = ops->sleep_mode_choose(instr);
    if (err == ERR_NO_RAMP_INFO && instr->can.sleep_mode == SYS_INFO_SLEEP_MODE1)
      err = ERR_NONE;
    if (err != ERR_NONE)
      return err;
  }
  return can_write_syncgen(instr, instr->can.syncgen_rate);
}

// The supplies and the faults of each PZT node there is, with the
// multiplexer on that node; the configured choice is put back afterwards.
u_err_t check_power(sys_info *instr) {
  const int32_t configured = instr->can.pzt_mux;
  u_err_t err = ERR_NONE;
  if (instr->can.present.triple_pzt) {
    instr->can.pzt_mux = SYS_INFO_PZT_MUX_TRIPLE;
    err = can_check_power_status(instr);
  }
  if (err == ERR_NONE && instr->can.present.large_ap) {
    instr->can.pzt_mux = SYS_INFO_PZT_MUX_LARGE_AP;
    err = can_check_power_status(instr);
  }
  instr->can.pzt_mux = configured;
  return err;
}

constexpr uint8_t kTurretPositionReadable = 0x80;

u_err_t report_turret(sys_info *instr) {
  int32_t type = instr->can.turret_type;
  uint8_t position = 0;
  if (type == SYS_INFO_TURRET_ENCODED || type == SYS_INFO_TURRET_MOTORIZED) {
    u_msg_hook(type == SYS_INFO_TURRET_ENCODED ? "Encoded objective turret\n"
                                               : "Motorized objective turret\n");
    uint8_t status = 0;
    if (u_err_t err = can_read_turret_status(instr, &status))
      return err;
    if (status & kTurretPositionReadable)
      if (u_err_t err = can_read_turret(instr, &position))
        return err;
  }
  u_msg_hook("Num objective turret positions = %d\n", instr->can.turret_positions);
  if (position == 0)
    u_msg_hook("Current objective turret position = UNKNOWN\n");
  else
    u_msg_hook("Current objective turret position = %d\n", position);
  return ERR_NONE;
}

u_err_t report_brush_motor(sys_info *instr) {
  if (!instr->can.present.brush_motor)
    return ERR_NONE;
  if (u_err_t err = can_get_brmtr_config(instr, nullptr, nullptr))
    return err;
  if (u_err_t err = report_turret(instr))
    return err;
  if (instr->can.zoom_type == SYS_INFO_ZOOM_ENCODED)
    u_msg_hook("Encoded zoom changer\n");
  else if (instr->can.zoom_type == SYS_INFO_ZOOM_MOTORIZED)
    u_msg_hook("Motorized zoom changer\n");
  if (one_of(instr->sys_type, kZoomTableTypes))
    if (u_err_t err = can_read_all_zoom(instr))
      return err;
  u_msg_hook("Num zoom changer positions = %d\n", instr->can.zoom_positions);
  return can_get_host_ops()->light_level_setup(instr);
}

// The device control worker's test of the CAN event source: the event pump
// of the instrument that owns it.
bool can_events_ready(int64_t, void *owner) {
  return owner && can_process_events(static_cast<sys_info *>(owner));
}

// What a power-on has done so far, so that a failure can undo exactly that.
struct PowerOn {
  sys_info *instr;
  bool held = false;
  bool connected = false;
  bool source = false;
  bool handlers = false;
};

u_err_t register_event_source(PowerOn &on) {
  dev_set_can_event_test(can_events_ready);
  // A host that has not set the device table up yet gets it here: the
  // source has nowhere else to go.
  if (u_err_t err = dev_init_cntrl(false))
    return err;
  if (u_err_t err = dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, on.instr))
    return err;
  on.source = true;
  on.handlers = true;
  return can_register_events(on.instr, true);
}

void remove_event_source() {
  if (dev_is_registered(DEV_CAN_HANDLE))
    dev_remove_device(DEV_CAN_HANDLE);
}

u_err_t update_bridge_config(sys_info *instr) {
  if (!can_fw_newer_than_1_11(instr))
    return ERR_NONE;
  uint16_t config = 0;
  if (u_err_t err = can_bridge_read_config(instr, &config))
    return err;
  if (instr->can.digital_scanner) {
    config |= CAN_BRIDGE_CONFIG_SCANNER_TRIGGER;
    u_msg_hook("Enabling PI digital scanner triggering mode\n");
  } else if (config & CAN_BRIDGE_CONFIG_SCANNER_TRIGGER) {
    config &= static_cast<uint16_t>(~CAN_BRIDGE_CONFIG_SCANNER_TRIGGER);
    u_msg_hook("Disabling PI digital scanner triggering mode\n");
  }
  config |= CAN_BRIDGE_CONFIG_POWER_ON | CAN_BRIDGE_CONFIG_ON_BIT13;
  return can_bridge_write_config(instr, config);
}

// The power-on's steps after the automatic gain control's hold.
u_err_t power_on_steps(PowerOn &on) {
  sys_info *instr = on.instr;
  can_bridge &bridge = *instr->can.bridge;
  if (bridge.mac[0] == 255)
    return ERR_CAN_MACADDRESS_ERROR;
  if (u_err_t err = find_bridge(&bridge))
    return err;
  if (u_err_t err = connect_bridge(bridge))
    return err;
  on.connected = true;
  if (u_err_t err = read_firmware(bridge))
    return err;
  if (u_err_t err = configure_bridge(bridge))
    return err;
  if (u_err_t err = clear_bridge_errors(instr))
    return err;
  if (u_err_t err = power_on_family(instr))
    return err;
  if (u_err_t err = host_set_ups(instr))
    return err;
  if (u_err_t err = check_power(instr))
    return err;
  if (u_err_t err = report_brush_motor(instr))
    return err;
  if (u_err_t err = register_event_source(on))
    return err;
  if (u_err_t err = update_bridge_config(instr))
    return err;
  if (instr->can.sleep_timer)
    if (u_err_t err = can_get_host_ops()->sleep_timer_start(instr))
      return err;
  return ERR_NONE;
}

// Leaves the instrument as it was before the power-on began.
u_err_t power_on_failed(PowerOn &on, u_err_t err) {
  sys_info *instr = on.instr;
  if (on.connected)
    can_get_host_ops()->light_level_store(instr);
  if (on.source)
    remove_event_source();
  if (on.handlers) {
    can_register_events(instr, false);
    can_events_free_resources();
  }
  if (on.connected)
    can_lib()->CAN_Disconnect();
  if (instr && instr->can.ndw_stopped)
    close_ndw_event(instr);
  if (on.held)
    release_agc_hold(instr);
  u_msg_stamped("%s: %s\n", kOn, u_error_name(err));
  return err;
}

// --- Node sequences ------------------------------------------------------------------

constexpr std::array<uint32_t, 3> kLedProducts = {0x2672137D, 0x2672150D, 0x26722381};
constexpr std::array<uint32_t, 2> kBrushMotorProducts = {0x267215D5, 0x267215D7};
constexpr uint32_t kMappedZoomProduct = 0x267215D7;

u_err_t verify_scanner_failed() {
  u_msg_hook("Scanner verification failed. Verify connections and configuration.\n");
  return ERR_CAN_DIGITAL_SCANNER_MISSING;
}

u_err_t set_up_scanner(sys_info *instr) {
  if (instr->can.digital_scanner) {
    float amplitude = 0;
    if (u_err_t err = can_write_pi_ramp_select(instr, 1))
      return err;
    if (u_err_t err = can_read_pi_ramp_amplitude(instr, &amplitude))
      return err;
    if (amplitude == 0)
      return verify_scanner_failed();
  }
  if (instr->can.ddl_tables) {
    int32_t count = 0;
    if (can_pi_load_ddl_tables(instr, &count) != ERR_NONE)
      return verify_scanner_failed();
    u_msg_hook("Loaded %d PI 751 digital scanner DDL tables\n", count);
    if (count == 0)
      return verify_scanner_failed();
  }
  return ERR_NONE;
}

u_err_t set_up_led(sys_info *instr) {
  sys_info_can &can = instr->can;
  if (u_err_t err = can_write_llc(instr, 0))
    return err;
  if (u_err_t err = can_write_llc_pwmfreq(instr, can.led_pwm_freq))
    return err;
  if (u_err_t err = can_write_led_setup(instr, can.led_setup))
    return err;
  return can_set_llc_range(instr, can.llc_range);
}

// The LED-based families; the triple PZT belongs to family b.
u_err_t led_family_on(sys_info *instr, bool triple_pzt, const char *caller) {
  if (u_err_t err = precondition(instr))
    return err;
  sys_info_can &can = instr->can;
  if (u_err_t err = can_init_node_availability(instr))
    return err;
  if (can.expected.brush_motor && !can.present.brush_motor)
    return missing("Missing the CAN Dual Brush Motor node\n");
  if (triple_pzt && can.expected.triple_pzt && !can.present.triple_pzt)
    return missing("Missing the CAN Triple PZT node\n");
  if (!bring_up(instr, CAN_NODE_ID_RAMP))
    return ERR_CAN_RAMP_ERROR;
  if (triple_pzt && can.expected.triple_pzt) {
    if (!bring_up(instr, CAN_NODE_ID_TRIPLEPZT)) {
      can.present.triple_pzt = 0;
      return ERR_CAN_TRIPLEPZT_ERROR;
    }
    can.pzt_state = -1;
  }
  if (u_err_t err = set_up_scanner(instr))
    return err;
  uint32_t id = 0;
  if (!bring_up(instr, CAN_NODE_ID_LED, &id))
    return ERR_CAN_LED_ERROR;
  if (u_err_t err = check_product(caller, CAN_NODE_ID_LED, id, kLedProducts))
    return err;
  can.bridge->led_product_id = id;
  if (can.expected.brush_motor) {
    if (!bring_up(instr, CAN_NODE_ID_BRUSHMOTOR, &id)) {
      can.present.brush_motor = 0;
      return ERR_CAN_BRMOTOR_ERROR;
    }
    if (u_err_t err = check_product(caller, CAN_NODE_ID_BRUSHMOTOR, id, kBrushMotorProducts))
      return err;
    can.bridge->brmotor_product_id = id;
  }
  if (u_err_t err = set_up_led(instr))
    return err;
  // The first reading gives the event decoder its starting zoom position.
  if (can.expected.brush_motor && can.bridge->brmotor_product_id == kMappedZoomProduct &&
      can.zoom_type != SYS_INFO_ZOOM_NONE) {
    int32_t position = 0;
    return can_read_zoom(instr, &position);
  }
  return ERR_NONE;
}

// The KPS family's nodes, in the order they are reported and brought up.
struct KpsNode {
  uint8_t node;
  uint8_t sys_info_can_nodes::*flag;
  const char *status_line;
  const char *missing; // null: never required (the wands)
  u_err_t failure;     // ERR_NONE: a failure only marks it absent
};

constexpr KpsNode kKpsNodes[] = {
    {CAN_NODE_ID_TRIPLEPZT, &sys_info_can_nodes::triple_pzt, "  Triple PZT          : %s\n",
     "Missing the CAN Triple PZT node\n", ERR_CAN_TRIPLEPZT_ERROR},
    {CAN_NODE_ID_LARGEAP, &sys_info_can_nodes::large_ap, "  Large Aperture      : %s\n",
     "Missing the CAN Large Aperture node\n", ERR_CAN_LARGEAP_ERROR},
    {CAN_NODE_ID_WAND, &sys_info_can_nodes::wand, "  Primary Wand        : %s\n", nullptr,
     ERR_NONE},
    {CAN_NODE_ID_WAND2, &sys_info_can_nodes::wand2, "  Secondary Wand      : %s\n", nullptr,
     ERR_NONE},
    {CAN_NODE_ID_DD_ZOOM, &sys_info_can_nodes::dd_zoom, "  Zoom & Diffuser Disk: %s\n",
     "Missing the CAN Zoom & Diffuser Disk node\n", ERR_CAN_DD_ZOOM_ERROR},
    {CAN_NODE_ID_DD_RS, &sys_info_can_nodes::dd_rs, "  RoF & Diffuser Disk : %s\n",
     "Missing the CAN Ring/Spot & Diffuser Disk node\n", ERR_CAN_DD_RS_ERROR},
    {CAN_NODE_ID_FOCUS_NDW, &sys_info_can_nodes::focus_ndw, "  Focus & ND Wheel    : %s\n",
     "Missing the CAN Focus & ND Wheel node\n", ERR_CAN_FOCUS_NDW_ERROR},
    {CAN_NODE_ID_AUX_MOTOR, &sys_info_can_nodes::aux_motor, "  Auxiliary Motor     : %s\n",
     "Missing the CAN Auxiliary Motor node\n", ERR_CAN_AUX_MOTOR_ERROR},
};

const KpsNode &kps_node(uint8_t node) {
  for (const KpsNode &entry : kKpsNodes)
    if (entry.node == node)
      return entry;
  return kKpsNodes[0];
}

u_err_t enumerate_kps_nodes(sys_info *instr) {
  sys_info_can &can = instr->can;
  for (const KpsNode &entry : kKpsNodes)
    can.present.*entry.flag = 0;
  uint8_t states[CAN_NODE_COUNT] = {};
  int32_t result = can_lib()->CAN_EnumerateNodes(states);
  if (result != CAN_LIB_OK) {
    u_msg_stamped("%s: CAN_EnumerateNodes canErr = %d\n", "can_kps_on", result);
    return can_error_code(result);
  }
  u_msg_hook("Instrument CAN node status:\n");
  for (const KpsNode &entry : kKpsNodes) {
    can.present.*entry.flag = states[entry.node] == CAN_NODE_PRESENT;
    u_msg_hook(entry.status_line, can.present.*entry.flag ? "Yes" : "No");
  }
  return ERR_NONE;
}

u_err_t require_kps_nodes(const sys_info *instr) {
  const sys_info_can &can = instr->can;
  for (const KpsNode &entry : kKpsNodes) {
    bool expected = can.expected.*entry.flag ||
                    (entry.node == CAN_NODE_ID_AUX_MOTOR && instr->sys_type == kAuxMotorType);
    if (entry.missing && expected && !(can.present.*entry.flag))
      return missing(entry.missing);
  }
  return ERR_NONE;
}

// Brings one present node up; a failure marks it absent.
u_err_t bring_up_kps_node(sys_info *instr, const KpsNode &entry) {
  if (!(instr->can.present.*entry.flag) || bring_up(instr, entry.node))
    return ERR_NONE;
  instr->can.present.*entry.flag = 0;
  return entry.failure;
}

u_err_t bring_up_kps_nodes(sys_info *instr) {
  for (const KpsNode &entry : kKpsNodes) {
    if (entry.node == CAN_NODE_ID_AUX_MOTOR)
      continue; // brought up after the disks and the wheel
    if (u_err_t err = bring_up_kps_node(instr, entry))
      return err;
    if (entry.node == CAN_NODE_ID_TRIPLEPZT && instr->can.present.triple_pzt)
      instr->can.pzt_state = -1;
  }
  return ERR_NONE;
}

auto set_keypress = [](uint8_t value) { return with_bits(value, kKeypressBit); };
auto run_motor = [](uint8_t value) { return with_bits(value, kMotorRun); };

// Runs the diffuser disks' motors, turns the ring/spot disk to position 0
// and gives the disks' keys their bit 1, keeping what the nodes had.
u_err_t set_up_disks(sys_info *instr) {
  sys_info_can &can = instr->can;
  if (can.present.dd_zoom) {
    if (u_err_t err = update_byte(instr, can_read_zoom_dd_control, can_write_zoom_dd_control,
                                  run_motor, Write::WhenChanged))
      return err;
    if (u_err_t err = update_byte(instr, can_read_zoom_keypress_mode, can_write_zoom_keypress_mode,
                                  set_keypress, Write::Always, &can.bridge->keypress_zoom))
      return err;
  }
  if (can.present.dd_rs) {
    if (u_err_t err = update_byte(instr, can_read_rs_dd_control, can_write_rs_dd_control, run_motor,
                                  Write::WhenChanged))
      return err;
    if (u_err_t err = can_move_rs_disk(instr, 0, true))
      return err;
    if (u_err_t err = update_byte(instr, can_read_rs_keypress_mode, can_write_rs_keypress_mode,
                                  set_keypress, Write::Always, &can.bridge->keypress_rs))
      return err;
  }
  return ERR_NONE;
}

constexpr int32_t kHomingLimitMs = 10000;

u_err_t set_up_focus_ndw(sys_info *instr) {
  sys_info_can &can = instr->can;
  if (!can.present.focus_ndw)
    return ERR_NONE;
  if (!can.ndw_stopped) {
    can.ndw_stopped = plat_event_create("CAN_NDWHEEL_STOPPED", true, true, nullptr);
    if (!can.ndw_stopped) {
      u_msg_hook("%s: Error creating event to signal ND wheel is stopped\n", "can_kps_on");
      return ERR_INTERNAL_MB;
    }
  }
  // The event handlers are not installed yet: the wheel is polled.
  if (u_err_t err = can_home_ndw(instr, true, kHomingLimitMs)) {
    u_msg_hook("%s: Error homing the ND wheel\n", "can_kps_on");
    return err;
  }
  if (u_err_t err = can_get_host_ops()->light_level_mode(instr))
    return err;
  return update_byte(instr, can_read_focus_keypress_mode, can_write_focus_keypress_mode,
                     set_keypress, Write::Always, &can.bridge->keypress_focus);
}

u_err_t set_disk_modes(sys_info *instr) {
  if (instr->can.present.dd_zoom) {
    if (u_err_t err = can_write_zoom_dd_mode(instr, 0))
      return err;
    if (u_err_t err =
            can_write_zoom_dd_targetVel(instr, static_cast<int32_t>(instr->can.zoom_dd_target_vel)))
      return err;
  }
  if (instr->can.present.dd_rs)
    return can_write_rs_dd_mode(instr, 1);
  return ERR_NONE;
}

u_err_t set_up_aux_motor(sys_info *instr) {
  if (u_err_t err = bring_up_kps_node(instr, kps_node(CAN_NODE_ID_AUX_MOTOR)))
    return err;
  if (instr->sys_type == kAuxMotorType)
    return can_switch_aux_motor(instr, false);
  return ERR_NONE;
}

u_err_t set_digital_output(sys_info *instr) {
  uint8_t outputs = 0;
  if (instr->sys_type == kAuxMotorType)
    outputs = 4;
  else if (instr->sys_type2 == kDigitalOutType2)
    outputs = 1;
  else
    return ERR_NONE;
  if (u_err_t err = can_bridge_write_digitalout(instr, outputs))
    return err;
  pause(100);
  return ERR_NONE;
}

u_err_t kps_steps(sys_info *instr) {
  if (u_err_t err = enumerate_kps_nodes(instr))
    return err;
  if (u_err_t err = require_kps_nodes(instr))
    return err;
  if (u_err_t err = bring_up_kps_nodes(instr))
    return err;
  if (u_err_t err = set_up_disks(instr))
    return err;
  if (u_err_t err = set_up_focus_ndw(instr))
    return err;
  if (u_err_t err = set_disk_modes(instr))
    return err;
  if (u_err_t err = set_up_aux_motor(instr))
    return err;
  if (u_err_t err = set_digital_output(instr))
    return err;
  return kps_enc_zoom_set_backlash(instr);
}

// Power-off's record of its steps: each runs, the first failure stays.
struct FirstFailure {
  u_err_t code = ERR_NONE;
  void note(u_err_t err) {
    if (code == ERR_NONE)
      code = err;
  }
};

} // namespace

extern "C" int32_t can_agc_holds(void) {
  AgcHolds &holds = agc_holds();
  std::lock_guard guard(holds.lock);
  return holds.count;
}

extern "C" u_err_t can_systype_a_on(sys_info *instr) {
  return led_family_on(instr, false, "can_systype_a_on");
}

extern "C" u_err_t can_systype_b_on(sys_info *instr) {
  return led_family_on(instr, true, "can_systype_b_on");
}

extern "C" u_err_t can_kps_on(sys_info *instr) {
  if (u_err_t err = precondition(instr))
    return err;
  u_err_t err = kps_steps(instr);
  // Disks left turning after a failure would run on unattended.
  if (err != ERR_NONE)
    stop_disk_motors(instr);
  return err;
}

extern "C" u_err_t can_inst_on(sys_info *instr) {
  PowerOn on{instr};
  if (u_err_t err = precondition(instr))
    return power_on_failed(on, err);
  remove_event_source();
  if (instr->can.uses_agc)
    if (u_err_t err = can_get_host_ops()->can_agc_init(instr))
      return power_on_failed(on, err);
  take_agc_hold(instr);
  on.held = true;
  if (u_err_t err = power_on_steps(on))
    return power_on_failed(on, err);
  u_msg_stamped("Instrument ON\n");
  release_agc_hold(instr);
  return ERR_NONE;
}

extern "C" u_err_t can_inst_off(sys_info *instr) {
  if (!instr)
    return ERR_SYS_INFO_NOT_AVAIL;
  if (!is_can_board(instr))
    return ERR_WRONG_INSTR_BOARD;
  FirstFailure first;
  int32_t type = instr->sys_type;
  if (one_of(type, kFamilyA))
    first.note(can_write_pifoc_offset(instr, 0, false));
  if (one_of(type, kFamilyA) || one_of(type, kFamilyB)) {
    first.note(can_write_llc(instr, 0));
    first.note(can_write_led_setup(instr, 0));
  }
  if (kps_family(type)) {
    const can_host_ops *ops = can_get_host_ops();
    first.note(ops->sleep_thread_stop(instr));
    ops->can_agc_stop_thread(instr);
    close_ndw_event(instr);
    first.note(stop_disk_motors(instr));
  }
  if (can_fw_newer_than_1_11(instr)) {
    uint16_t config = 0;
    u_err_t err = can_bridge_read_config(instr, &config);
    if (err == ERR_NONE)
      err = can_bridge_write_config(instr,
                                    static_cast<uint16_t>(config & ~CAN_BRIDGE_CONFIG_POWER_ON));
    first.note(err);
  }
  if (instr->sys_type2 == kDigitalOutType2) {
    first.note(can_bridge_write_digitalout(instr, 0));
    pause(100);
  }
  remove_event_source();
  first.note(can_register_events(instr, false));
  can_events_free_resources();
  can_lib()->CAN_Disconnect();
  // What was learnt of the powered instrument goes with it.
  instr->can.present = sys_info_can_nodes{};
  kps_enc_zoom_free_cal(&instr->can.enc_zoom);
  u_msg_stamped("Instrument OFF\n");
  return first.code;
}
