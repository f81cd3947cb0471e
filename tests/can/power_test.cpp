// Powering instruments of every family on and off against the simulated
// bridge: what they print, what they write, which host steps they take, and
// how a failed power-on leaves nothing behind.

#include <functional>

#include "can/can_accessors.h"
#include "can/can_enc_zoom.h"
#include "can/can_moves.h"
#include "platform/sync.h"
#include "power_fixture.h"
#include "serial/wave_monitor.h"

namespace ferry::test {
namespace {

const char *const kBridgeLines = "Found CAN bridge\n"
                                 "MAC address: 00 50 C2 7A 01 F3\n"
                                 "IP  address: 10.20.30.40\n"
                                 "Bridge firmware version: major = 2, minor = 5\n"
                                 "DLL version: major = 4, minor = 12\n";

const char *const kLedStatusHead = "Instrument CAN node status:\n"
                                   "  Ramper           : Yes  \n"
                                   "  LED              : Yes  \n"
                                   "  Dual Brush Motor : Yes\n";

std::string kps_status(const char *yes_no[8]) {
  const char *labels[] = {
      "  Triple PZT          : ", "  Large Aperture      : ", "  Primary Wand        : ",
      "  Secondary Wand      : ", "  Zoom & Diffuser Disk: ", "  RoF & Diffuser Disk : ",
      "  Focus & ND Wheel    : ", "  Auxiliary Motor     : "};
  std::string text = "Instrument CAN node status:\n";
  for (int i = 0; i < 8; ++i)
    text += std::string(labels[i]) + yes_no[i] + "\n";
  return text;
}

struct Transcript {
  const char *name;
  Family family;
  std::string on_lines, on_writes, on_calls;
  std::string off_writes, off_calls;
};

class Power : public PowerTest {
protected:
  // The KPS transcript's instrument also has the automatic gain control,
  // sleep mode 1 with its timer, and the encoded zoom.
  void add_kps_extras() {
    instr.can.uses_agc = 1;
    instr.can.sleep_mode = SYS_INFO_SLEEP_MODE1;
    instr.can.sleep_timer = 1;
    host_answers() = {{"load_ramps", ERR_NO_RAMP_INFO}, {"sleep_mode_choose", ERR_NO_RAMP_INFO}};
    sys_info_enc_zoom &zoom = instr.can.enc_zoom;
    zoom.enabled = 1;
    zoom.lower_limit = -1000;
    zoom.upper_limit = 50000;
    zoom.backlash = 25;
    cal_path = dir.file("zoom.txt");
    write_text(cal_path, "Zoom\n100, 1.0\n2000 2.5\n");
    std::snprintf(zoom.cal_file, sizeof zoom.cal_file, "%s", cal_path.c_str());
  }

  TempDir dir;
  std::string cal_path;
};

TEST_F(Power, TranscriptsOfEveryFamily) {
  const char *kps30[8] = {"Yes", "No", "Yes", "No", "Yes", "Yes", "Yes", "No"};
  const char *kps26[8] = {"No", "No", "Yes", "No", "No", "No", "Yes", "Yes"};
  const Transcript transcripts[] = {
      {"family a, type 11", Family::A,
       std::string(kBridgeLines) + kLedStatusHead +
           "  Triple PZT       : No, Ignore\n"
           "Encoded objective turret\n"
           "Num objective turret positions = 5\n"
           "Current objective turret position = 1\n"
           "Motorized zoom changer\n"
           "Num zoom changer positions = 6\n"
           "[T] Instrument ON\n",
       "3D 2001/0 = 0\n"
       "3D 2006/0 = 4E20\n"
       "3D 2000/0 = 1\n"
       "3D 2002/0 = 2BC\n"
       "3D 2004/0 = BB8\n"
       "7F 2030/0 = 3C\n"
       "7F 2010/2 = 2100\n",
       "can_agc_stop_thread load_ramps pedestal_file_name light_level_setup can_agc_start_thread",
       "7F 2009/1 = 0\n"
       "3D 2001/0 = 0\n"
       "3D 2000/0 = 0\n"
       "7F 2010/2 = 2000\n",
       ""},
      {"family b, type 29", Family::B,
       std::string(kBridgeLines) + kLedStatusHead +
           "  Triple PZT       : Yes\n"
           "Motorized objective turret\n"
           "Num objective turret positions = 5\n"
           "Current objective turret position = 1\n"
           "Encoded zoom changer\n"
           "Num zoom changer positions = 6\n"
           "Enabling PI digital scanner triggering mode\n"
           "[T] Instrument ON\n",
       "7F 2041/1 = 1\n"
       "3D 2001/0 = 0\n"
       "3D 2006/0 = 3E8\n"
       "3D 2000/0 = 2\n"
       "3D 2002/0 = 384\n"
       "7F 2030/0 = 1E\n"
       "7F 2010/2 = 2900\n",
       "can_agc_stop_thread load_ramps pedestal_file_name light_level_setup can_agc_start_thread",
       "3D 2001/0 = 0\n"
       "3D 2000/0 = 0\n"
       "7F 2010/2 = 2800\n",
       ""},
      {"KPS family, type 30", Family::Kps,
       std::string(kBridgeLines) + kps_status(kps30) +
           "KPS encoded zoom calibration data loaded from file @CAL@\n"
           "[T] Instrument ON\n",
       "46 2000/0 = 1\n"
       "46 2044/8 = 2\n"
       "44 2000/0 = 1\n"
       "44 2044/8 = 0\n"
       "44 2034/0 = 320\n"
       "44 2044/8 = 2\n"
       "44 2044/8 = 2\n"
       "40 2020/0 = 3\n"
       "40 2044/8 = 2\n"
       "46 2002/0 = 0\n"
       "46 2004/0 = 5DC\n"
       "44 2002/0 = 1\n"
       "7F 6200/1 = 1\n"
       "40 2002/0 = 3\n"
       "40 607D/1 = FFFFFC18\n"
       "40 607D/2 = C350\n"
       "40 2019/0 = 19\n"
       "7F 2030/0 = 2D\n"
       "7F 2010/2 = 2100\n",
       "can_agc_init can_agc_stop_thread light_level_mode load_ramps wave_monitor_setup "
       "pedestal_file_name sleep_mode_choose sleep_timer_start can_agc_start_thread",
       "46 2000/0 = 0\n"
       "44 2000/0 = 0\n"
       "7F 2010/2 = 2000\n"
       "7F 6200/1 = 0\n",
       "sleep_thread_stop can_agc_stop_thread"},
      {"type 26", Family::Type26,
       std::string(kBridgeLines) + kps_status(kps26) + "[T] Instrument ON\n",
       "40 2020/0 = 3\n"
       "40 2044/8 = 2\n"
       "42 2034/0 = FE0C\n"
       "7F 6200/1 = 4\n"
       "7F 2030/0 = 32\n"
       "7F 2010/2 = 2100\n",
       "can_agc_stop_thread light_level_mode load_ramps pedestal_file_name can_agc_start_thread",
       "7F 2010/2 = 2000\n", "sleep_thread_stop can_agc_stop_thread"},
  };
  for (const Transcript &t : transcripts) {
    SCOPED_TRACE(t.name);
    TearDown();
    instr = sys_info{};
    bridge = can_bridge{};
    SetUp();
    stage(t.family);
    if (t.family == Family::Kps)
      add_kps_extras();

    ASSERT_EQ(can_inst_on(&instr), ERR_NONE) << messages.text();
    std::string lines = t.on_lines;
    if (size_t at = lines.find("@CAL@"); at != std::string::npos)
      lines.replace(at, 5, cal_path);
    EXPECT_EQ(transcript(), lines);
    EXPECT_EQ(write_log(), t.on_writes);
    EXPECT_EQ(joined(host_calls()), t.on_calls);
    uint8_t setting = 0;
    uint32_t value = 0;
    sim->configuration(&setting, &value);
    EXPECT_EQ(setting, 127);
    EXPECT_EQ(value, 1000u);
    EXPECT_EQ(sim->connected_ip(), ip_value(kIp));
    EXPECT_TRUE(dev_is_registered(DEV_CAN_HANDLE));
    EXPECT_EQ(sim->handlers_registered(), 1);
    EXPECT_EQ(can_agc_holds(), 0);

    messages.clear();
    host_calls().clear();
    sim->clear_log();
    EXPECT_EQ(can_inst_off(&instr), ERR_NONE) << messages.text();
    EXPECT_EQ(transcript(), "[T] Instrument OFF\n");
    EXPECT_EQ(write_log(), t.off_writes);
    EXPECT_EQ(joined(host_calls()), t.off_calls);
    EXPECT_EQ(sim->connected_ip(), 0u);
    EXPECT_FALSE(dev_is_registered(DEV_CAN_HANDLE));
    EXPECT_EQ(sim->handlers_registered(), 0);
    EXPECT_EQ(instr.can.ndw_stopped, nullptr);
    EXPECT_EQ(instr.can.enc_zoom.cache, nullptr);
  }
}

// --- Failures of the power-on, one step at a time ------------------------------------

struct Failure {
  const char *name;
  Family family;
  std::function<void(PowerTest &, const cansim_api *)> inject;
  u_err_t code;
  const char *line; // a line the failure prints ("" when none of its own)
};

using PowerFailures = PowerTest;

auto remove(uint8_t node) {
  return [node](PowerTest &, const cansim_api *sim) { sim->remove_node(node); };
}
auto unfound(uint8_t node) {
  return [node](PowerTest &, const cansim_api *sim) { sim->set_find_status(node, 0); };
}
auto fail(const char *call, int32_t result, int32_t after = 0) {
  return [=](PowerTest &, const cansim_api *sim) { sim->fail_call(call, result, after, 1); };
}
auto on_instr(std::function<void(sys_info &)> change) {
  return [change](PowerTest &t, const cansim_api *) { change(t.instr); };
}

TEST_F(PowerFailures, EveryStepFailsWithItsCodeAndLeavesNothingBehind) {
  const Failure failures[] = {
      {"wrong board", Family::A, on_instr([](sys_info &i) { i.instrBdType = 2; }),
       ERR_WRONG_INSTR_BOARD, ""},
      {"no bridge record", Family::A, on_instr([](sys_info &i) { i.can.bridge = nullptr; }),
       ERR_HW_FAIL, ""},
      {"no MAC address", Family::A, on_instr([](sys_info &i) { i.can.bridge->mac[0] = 255; }),
       ERR_CAN_MACADDRESS_ERROR, ""},
      {"bridge missing", Family::A,
       [](PowerTest &, const cansim_api *sim) {
         const uint8_t other[6] = {0x00, 0x50, 0xC2, 0x7A, 0x01, 0xF4};
         sim->reset();
         sim->add_bridge(other, kIp);
       },
       ERR_CAN_MACADDRESS_ERROR,
       "CAN bridge with MAC address 00 50 C2 7A 01 F3 not found on network\n"},
      {"connect", Family::A, fail("CAN_Connect", -3), ERR_CAN_FINDING_BRIDGE,
       "can_inst_on: CAN_Connect canErr = -3\n"},
      {"firmware", Family::A, fail("CAN_GetFirmwareVersion", -1), ERR_CAN_BRIDGE_ERROR,
       "can_inst_on: CAN_GetFirmwareVersion canErr = -1\n"},
      {"configuration read", Family::A, fail("CAN_GetBridgeConfiguration", -4),
       ERR_CAN_BRIDGE_ERROR, "can_inst_on: CAN_GetBridgeConfiguration canErr = -4\n"},
      {"configuration write", Family::A, fail("CAN_SetBridgeConfiguration", -1),
       ERR_CAN_BRIDGE_ERROR, "can_inst_on: CAN_SetBridgeConfiguration canErr = -1\n"},
      {"reconnection", Family::A, fail("CAN_Connect", -2, 1), ERR_CAN_FINDING_BRIDGE,
       "can_inst_on: CAN_Connect canErr = -2\n"},
      {"bridge error read", Family::A, fail("CAN_GetLastBridgeError", -1), ERR_CAN_BRIDGE_ERROR,
       "can_inst_on: CAN_GetLastBridgeError canErr = -1\n"},
      {"bridge reset", Family::A,
       [](PowerTest &, const cansim_api *sim) {
         sim->set_last_error(5, -1);
         sim->fail_call("CAN_ResetBridge", -1, 0, 1);
       },
       ERR_HW_FAIL, "CAN_ResetBridge canErr -1\n"},
      {"tenth reset still failing", Family::A,
       [](PowerTest &, const cansim_api *sim) { sim->set_last_error(5, -1); }, ERR_CAN_BRIDGE_ERROR,
       "CAN_GetLastBridgeError = 5\n"},
      {"unknown system type", Family::A, on_instr([](sys_info &i) { i.sys_type = 99; }),
       ERR_WRONG_SYSTEM_TYPE, ""},
      // Family a and b nodes.
      {"brush motor missing", Family::A, remove(CAN_NODE_ID_BRUSHMOTOR), ERR_CAN_NODE_MISSING,
       "Missing the CAN Dual Brush Motor node\n"},
      {"triple PZT missing (b)", Family::B, remove(CAN_NODE_ID_TRIPLEPZT), ERR_CAN_NODE_MISSING,
       "Missing the CAN Triple PZT node\n"},
      {"ramper down", Family::A, unfound(CAN_NODE_ID_RAMP), ERR_CAN_RAMP_ERROR, ""},
      {"triple PZT down (b)", Family::B, unfound(CAN_NODE_ID_TRIPLEPZT), ERR_CAN_TRIPLEPZT_ERROR,
       ""},
      {"LED down", Family::A, unfound(CAN_NODE_ID_LED), ERR_CAN_LED_ERROR, ""},
      {"brush motor down", Family::A, unfound(CAN_NODE_ID_BRUSHMOTOR), ERR_CAN_BRMOTOR_ERROR, ""},
      {"LED product", Family::A,
       [](PowerTest &, const cansim_api *sim) { sim->add_node(CAN_NODE_ID_LED, 0x12345678, 1, 0); },
       ERR_CAN_INVALID_PRODUCTID,
       "can_systype_a_on: Invalid productID = 305419896 for CAN_NODE_ID_LED\n"},
      {"brush motor product", Family::B,
       [](PowerTest &, const cansim_api *sim) {
         sim->add_node(CAN_NODE_ID_BRUSHMOTOR, 0x267215D6, 1, 0);
       },
       ERR_CAN_INVALID_PRODUCTID,
       "can_systype_b_on: Invalid productID = 645010902 for CAN_NODE_ID_BRUSHMOTOR\n"},
      {"scanner amplitude 0 (b)", Family::B,
       [](PowerTest &, const cansim_api *sim) { sim->set_object_value(0x7F, 0x2041, 2, 0, 4); },
       ERR_CAN_DIGITAL_SCANNER_MISSING,
       "Scanner verification failed. Verify connections and configuration.\n"},
      {"no DDL tables (a)", Family::A, on_instr([](sys_info &i) { i.can.ddl_tables = 1; }),
       ERR_CAN_DIGITAL_SCANNER_MISSING, "Loaded 0 PI 751 digital scanner DDL tables\n"},
      // KPS nodes, missing in the order they are checked.
      {"triple PZT missing", Family::Kps, remove(CAN_NODE_ID_TRIPLEPZT), ERR_CAN_NODE_MISSING,
       "Missing the CAN Triple PZT node\n"},
      {"large aperture missing", Family::Kps,
       on_instr([](sys_info &i) { i.can.expected.large_ap = 1; }), ERR_CAN_NODE_MISSING,
       "Missing the CAN Large Aperture node\n"},
      {"zoom disk missing", Family::Kps, remove(CAN_NODE_ID_DD_ZOOM), ERR_CAN_NODE_MISSING,
       "Missing the CAN Zoom & Diffuser Disk node\n"},
      {"ring/spot disk missing", Family::Kps, remove(CAN_NODE_ID_DD_RS), ERR_CAN_NODE_MISSING,
       "Missing the CAN Ring/Spot & Diffuser Disk node\n"},
      {"focus node missing", Family::Kps, remove(CAN_NODE_ID_FOCUS_NDW), ERR_CAN_NODE_MISSING,
       "Missing the CAN Focus & ND Wheel node\n"},
      {"auxiliary motor missing (26)", Family::Type26, remove(CAN_NODE_ID_AUX_MOTOR),
       ERR_CAN_NODE_MISSING, "Missing the CAN Auxiliary Motor node\n"},
      // KPS nodes that do not come up.
      {"triple PZT down", Family::Kps, unfound(CAN_NODE_ID_TRIPLEPZT), ERR_CAN_TRIPLEPZT_ERROR, ""},
      {"large aperture down", Family::Kps,
       [](PowerTest &, const cansim_api *sim) {
         sim->add_node(CAN_NODE_ID_LARGEAP, 1, 1, 0);
         sim->set_operational_after(CAN_NODE_ID_LARGEAP, 100, 4);
       },
       ERR_CAN_LARGEAP_ERROR,
       "wait_for_node_operational: Timeout waiting for node CAN_NODE_ID_LARGEAP operational: "
       "CAN_GetNodeState status = 4\n"},
      {"zoom disk down", Family::Kps, unfound(CAN_NODE_ID_DD_ZOOM), ERR_CAN_DD_ZOOM_ERROR, ""},
      {"ring/spot disk down", Family::Kps, unfound(CAN_NODE_ID_DD_RS), ERR_CAN_DD_RS_ERROR, ""},
      {"focus node down", Family::Kps, unfound(CAN_NODE_ID_FOCUS_NDW), ERR_CAN_FOCUS_NDW_ERROR, ""},
      {"auxiliary motor down", Family::Type26, unfound(CAN_NODE_ID_AUX_MOTOR),
       ERR_CAN_AUX_MOTOR_ERROR, ""},
      {"ND wheel never homes", Family::Kps,
       [](PowerTest &, const cansim_api *sim) { sim->set_homing(1, 0x10, 0); },
       ERR_CAN_NDW_HOME_ERROR, "can_kps_on: Error homing the ND wheel\n"},
      {"encoded zoom firmware", Family::Kps,
       [](PowerTest &t, const cansim_api *sim) {
         t.instr.can.enc_zoom.enabled = 1;
         sim->add_node(CAN_NODE_ID_FOCUS_NDW, 1, 4, 2);
         sim->set_object_value(CAN_NODE_ID_FOCUS_NDW, 0x2044, 8, 0, 1);
       },
       ERR_KPS_ENC_ZOOM_FIRMWARE_VERSION_OLD, "; version 4.3 or later is required\n"},
      // Host steps and the checks after the nodes.
      {"ramps", Family::A,
       [](PowerTest &, const cansim_api *) {
         host_answers() = {{"load_ramps", ERR_CANT_READ_FILE}};
       },
       ERR_CANT_READ_FILE, ""},
      {"sleep mode 2", Family::A,
       [](PowerTest &t, const cansim_api *) {
         t.instr.can.sleep_mode = SYS_INFO_SLEEP_MODE2;
         host_answers() = {{"sleep_mode_choose", ERR_NO_RAMP_INFO}};
       },
       ERR_NO_RAMP_INFO, ""},
      {"supply fault", Family::B,
       [](PowerTest &, const cansim_api *sim) { sim->set_object_value(0x7F, 0x2010, 1, 0, 1); },
       ERR_INST_POWER, "Bridge Status: External 12V power fault\n"},
      {"device table refuses", Family::A,
       [](PowerTest &, const cansim_api *) {
         // A full table: ten other devices of a type without a test.
         for (int64_t handle = 1; handle <= DEV_MAX_DEVICES; ++handle)
           dev_add_device(DEV_TYPE_NONE, handle, nullptr);
       },
       ERR_DEV_CNTRL, "gl_DevInfo table is full"},
      {"PDO registration", Family::A, fail("CAN_RegisterEvents", -1), ERR_CAN_ERROR,
       "can_register_events canErr = -1\n"},
      {"configuration word", Family::A,
       [](PowerTest &, const cansim_api *sim) {
         sim->abort_sdo(0x7F, 0x2010, 2, 0x06010000, 0, -1);
       },
       ERR_CAN_SDO_RAMP_ERROR, ""},
  };
  ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
  for (const Failure &f : failures) {
    SCOPED_TRACE(f.name);
    TearDown();
    instr = sys_info{};
    bridge = can_bridge{};
    SetUp();
    ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
    stage(f.family);
    f.inject(*this, sim);

    EXPECT_EQ(can_inst_on(&instr), f.code) << messages.text();
    std::string text = transcript();
    EXPECT_NE(text.find(f.line), std::string::npos) << text;
    std::string last = std::string("[T] can_inst_on: ") + u_error_name(f.code) + "\n";
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), last.size())), last);
    expect_nothing_left(f.name);
    for (int64_t handle = 1; handle <= DEV_MAX_DEVICES; ++handle)
      if (dev_is_registered(handle))
        dev_remove_device(handle);
  }
}

TEST_F(PowerFailures, AFailedKpsPowerOnStopsTheDisksItStarted) {
  stage_kps();
  sim->set_homing(1, 0x10, 0);
  ASSERT_EQ(can_inst_on(&instr), ERR_CAN_NDW_HOME_ERROR);
  for (uint8_t disk : {CAN_NODE_ID_DD_ZOOM, CAN_NODE_ID_DD_RS}) {
    uint32_t control = 1;
    ASSERT_TRUE(sim->object_value(disk, 0x2000, 0, &control));
    EXPECT_EQ(control & 1, 0u) << int{disk};
  }
  EXPECT_EQ(joined(host_calls()), "can_agc_stop_thread light_level_store can_agc_start_thread");
}

TEST_F(PowerFailures, BridgeErrorClearingReadsOnceMoreAfterTheTenthReset) {
  struct {
    int32_t resets_to_clear;
    u_err_t code;
    uint32_t resets, reads;
  } cases[] = {
      {0, ERR_NONE, 0, 1},
      {3, ERR_NONE, 3, 4},
      {10, ERR_NONE, 10, 11},
      {11, ERR_CAN_BRIDGE_ERROR, 10, 11},
  };
  for (const auto &c : cases) {
    TearDown();
    instr = sys_info{};
    bridge = can_bridge{};
    SetUp();
    stage_family_a();
    sim->set_last_error(c.resets_to_clear ? 9 : 0, c.resets_to_clear);
    EXPECT_EQ(can_inst_on(&instr), c.code) << c.resets_to_clear;
    EXPECT_EQ(sim->call_count("CAN_ResetBridge"), c.resets);
    EXPECT_EQ(sim->call_count("CAN_GetLastBridgeError"), c.reads);
    if (c.code != ERR_NONE) {
      EXPECT_TRUE(stamped("can_inst_on: Unable to reset bridge with no errors after 10 tries: "));
      EXPECT_TRUE(plain("CAN_GetLastBridgeError = 9\n"));
    } else {
      EXPECT_EQ(can_inst_off(&instr), ERR_NONE);
    }
  }
}

TEST_F(PowerFailures, AWandThatDoesNotComeUpIsOnlyMarkedAbsent) {
  stage_kps();
  sim->set_find_status(CAN_NODE_ID_WAND, 0);
  ASSERT_EQ(can_inst_on(&instr), ERR_NONE) << messages.text();
  EXPECT_EQ(instr.can.present.wand, 0);
  EXPECT_TRUE(stamped("find_node: Error finding node CAN_NODE_ID_WAND: CAN_FindNode status = 0\n"));
  EXPECT_EQ(can_inst_off(&instr), ERR_NONE);
}

TEST_F(PowerFailures, WaveMonitorSystemsReadTheWaveMonitorThroughItsLink) {
  // A link the host never opened: the wave monitor module's own failure.
  wm_link link{};
  instr.serial.wm_link = &link;
  sys_info probe = instr;
  const u_err_t link_failure = wm_update_status(&probe);
  ASSERT_NE(link_failure, ERR_NONE);
  for (Family family : {Family::Kps, Family::Type26}) {
    TearDown();
    instr = sys_info{};
    bridge = can_bridge{};
    SetUp();
    instr.serial.wm_link = &link;
    stage(family);
    bool wave_monitor = family == Family::Kps; // type 30
    EXPECT_EQ(can_inst_on(&instr), wave_monitor ? link_failure : ERR_NONE) << messages.text();
    std::string calls = joined(host_calls());
    EXPECT_EQ(calls.find("wave_monitor_setup"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("pedestal_file_name") == std::string::npos, wave_monitor) << calls;
    if (!wave_monitor)
      EXPECT_EQ(can_inst_off(&instr), ERR_NONE);
    else
      expect_nothing_left("wave monitor");
  }
}

// --- Power-off -------------------------------------------------------------------------

TEST_F(Power, PowerOffRunsEveryStepAndReturnsTheFirstFailure) {
  stage_family_a();
  ASSERT_EQ(can_inst_on(&instr), ERR_NONE) << messages.text();
  sim->clear_log();
  sim->abort_sdo(CAN_NODE_ID_LED, 0x2001, 0, 0x06090011, 0, 1);
  sim->abort_sdo(CAN_NODE_ID_RAMP, 0x2010, 2, 0x06090011, 0, 1);
  EXPECT_EQ(can_inst_off(&instr), ERR_CAN_SDO_LED_ERROR);
  // The LED set-up and the configuration word are still tried after the
  // light level failed; the bridge ends disconnected.
  EXPECT_EQ(write_log(), "7F 2009/1 = 0\n"
                         "3D 2001/0 = 0\n"
                         "3D 2000/0 = 0\n");
  EXPECT_EQ(sim->connected_ip(), 0u);
  EXPECT_FALSE(dev_is_registered(DEV_CAN_HANDLE));
  EXPECT_EQ(sim->handlers_registered(), 0);
  EXPECT_TRUE(stamped("Instrument OFF\n"));
  EXPECT_EQ(can_inst_off(nullptr), ERR_SYS_INFO_NOT_AVAIL);
  instr.instrBdType = 2;
  EXPECT_EQ(can_inst_off(&instr), ERR_WRONG_INSTR_BOARD);
}

// --- The event source in the device table -------------------------------------------------

TEST_F(Power, HostWaitsForWandKeysThroughTheDeviceTableRoundAfterRound) {
  // The device worker's own bounds (30 s) must stay well above a slow
  // sanitizer's step: time runs at a twentieth here, not a millionth.
  plat_set_time_scale(0.05);
  stage_type26();
  sim->set_configuration(127, 1000);
  // Rounds of power-on, a key, the device worker's pump, power-off: the
  // worker runs the pump while the host powers the instrument on and off.
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(can_inst_on(&instr), ERR_NONE) << messages.text();
    const uint8_t key[8] = {static_cast<uint8_t>(1 + round % 3)};
    sim->queue_pdo(0x180 + CAN_NODE_ID_WAND, key);
    dev_record device{};
    ASSERT_EQ(dev_data_read(DEV_TYPE_CAN, &device, true), DEV_TYPE_CAN);
    EXPECT_EQ(device.handle, DEV_CAN_HANDLE);
    EXPECT_EQ(device.owner, &instr);
    can_decoded_event event{};
    ASSERT_TRUE(can_decoded_event_take(&event));
    const int32_t codes[] = {CAN_EV_WAND_KEY1, CAN_EV_WAND_KEY2, CAN_EV_WAND_KEY3};
    EXPECT_EQ(event.code, codes[round % 3]);
    EXPECT_FALSE(can_decoded_event_take(&event));
    ASSERT_EQ(can_inst_off(&instr), ERR_NONE);
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &device, false), DEV_NOTHING_READY);
    sim->reset();
    drain_events();
    sim->add_bridge(kMac, kIp);
    sim->set_firmware(2, 5);
    stage_type26();
    sim->set_configuration(127, 1000);
  }
}

// --- Long waits the host can cut short ---------------------------------------------------

TEST_F(Power, DiskAndWheelWaitsEndWhenTheAbortHookAsks) {
  stage_kps();
  ASSERT_EQ(can_inst_on(&instr), ERR_NONE) << messages.text();
  static int asked = 0;
  asked = 0;
  u_abort_hook = [](int) { return ++asked >= 3 ? 1 : 0; };

  sim->set_motion_polls(CAN_NODE_ID_DD_RS, 1000);
  sim->clear_log();
  EXPECT_EQ(can_move_rs_disk(&instr, 1, true), ERR_FERNHALL_ABORTED);
  EXPECT_EQ(asked, 3);
  // The disk's key is handed back even so.
  uint32_t keypress = 0;
  ASSERT_TRUE(sim->object_value(CAN_NODE_ID_DD_RS, 0x2044, 8, &keypress));
  EXPECT_EQ(keypress & 0x02, 0x02u);

  for (auto [search, move] : {std::pair{1000, 0}, std::pair{1, 1000}}) {
    asked = 0;
    sim->set_homing(search, 0x00, move);
    EXPECT_EQ(can_home_ndw(&instr, true, 100000), ERR_FERNHALL_ABORTED) << search;
    EXPECT_EQ(asked, 3);
  }
  u_abort_hook = u_abort_never;
  EXPECT_EQ(can_inst_off(&instr), ERR_NONE);
}

} // namespace
} // namespace ferry::test
