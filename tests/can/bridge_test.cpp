// The bridge library binding, the SDO wrappers, finding the bridge and its
// nodes, and the bridge's own checks.

#include "can/can_accessors.h"
#include "can_fixture.h"

namespace ferry::test {
namespace {

using Bridge = CanTest;

TEST_F(Bridge, LibraryResultsMapToCatalogueCodes) {
  struct {
    int32_t can_err;
    u_err_t code;
  } cases[] = {{1, ERR_NONE},
               {-1, ERR_CAN_ERROR},
               {-2, ERR_CAN_NOT_CONNECTED},
               {-3, ERR_CAN_TIMEOUT},
               {-4, ERR_CAN_TCP_TRANSMISSION_ERROR},
               {-5, ERR_CAN_BUFFER_TOO_SMALL},
               {-6, ERR_CAN_NO_PDO},
               {0, ERR_UNKNOWN},
               {7, ERR_UNKNOWN},
               {-7, ERR_UNKNOWN},
               {INT32_MIN, ERR_UNKNOWN}};
  for (const auto &c : cases)
    EXPECT_EQ(can_error_code(c.can_err), c.code) << c.can_err;
}

TEST_F(Bridge, LibraryVersionIsReadFromTheLoadedFile) {
  int major = -1, minor = -1;
  can_dll_version(&major, &minor);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 12);
}

TEST_F(Bridge, MissingLibraryAnswersNotConnectedEverywhere) {
  TempDir empty;
  plat_set_library_dir(empty.path().string().c_str());
  can_lib_rebind();
  const can_bridge_lib *lib = can_lib();
  plat_set_library_dir(FERRY_CAN_SIM_DIR);
  EXPECT_FALSE(can_lib_available());
  uint8_t byte = 0;
  uint32_t word = 0;
  can_bridge_entry entries[CAN_MAX_BRIDGES];
  can_sdo_status status{};
  can_pdo_record record{};
  int32_t results[] = {
      lib->CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES),
      lib->CAN_Connect(1),
      lib->CAN_Disconnect(),
      lib->CAN_GetFirmwareVersion(&byte, &byte),
      lib->CAN_GetBridgeConfiguration(&byte, &word),
      lib->CAN_SetBridgeConfiguration(127, 1000),
      lib->CAN_GetLastBridgeError(&word),
      lib->CAN_ResetBridge(),
      lib->CAN_EnumerateNodes(entries[0].mac),
      lib->CAN_FindNode(61, &byte),
      lib->CAN_GetNodeState(61, &byte),
      lib->CAN_SDORead(61, 0x1018, 2, &word, 4, &status),
      lib->CAN_SDOWrite(61, 0x2000, 0, &byte, 1, &status),
      lib->CAN_RegisterPDO(can_pdo_desc{}),
      lib->CAN_UnregisterPDOs(),
      lib->CAN_RegisterEvents(nullptr, nullptr),
      lib->CAN_GetPDO(&record),
  };
  for (int32_t result : results)
    EXPECT_EQ(result, CAN_LIB_NOT_CONNECTED);
  int major = -1, minor = -1;
  can_dll_version(&major, &minor);
  EXPECT_EQ(major, 0);
  EXPECT_EQ(minor, 0);
  std::vector<std::string> calls = messages.calls();
  ASSERT_EQ(calls.size(), 1u) << "one line, at binding";
  EXPECT_EQ(calls[0].rfind("Cannot load CAN bridge library TarnCANopen.dll: ", 0), 0u) << calls[0];
  // The callers take their not-connected road.
  EXPECT_EQ(can_read_productID(&instr, 61, &word), ERR_CAN_NOT_CONNECTED);
  can_lib_rebind();
  EXPECT_TRUE(can_lib_available());
}

TEST_F(Bridge, LibraryMissingAnEntryPointIsRefusedWhole) {
  plat_set_library_dir(FERRY_CAN_SIM_DIR "/partial");
  can_lib_rebind();
  const can_bridge_lib *lib = can_lib();
  plat_set_library_dir(FERRY_CAN_SIM_DIR);
  EXPECT_FALSE(can_lib_available());
  EXPECT_EQ(messages.calls(),
            std::vector<std::string>{
                "CAN bridge library TarnCANopen.dll has no entry point CAN_GetPDO\n"});
  // Entry points it has are not used either.
  EXPECT_EQ(lib->CAN_Connect(ip_value(kIp)), CAN_LIB_NOT_CONNECTED);
  can_lib_rebind();
  EXPECT_TRUE(can_lib_available());
}

class Sdo : public CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    connect();
    sim->add_node(0x44, 0, 1, 0);
    activity_ = 0;
    can_host_ops ops{};
    ops.sleep_activity = [] { ++activity_; };
    can_set_host_ops(&ops);
  }
  static inline int activity_ = 0;
};

TEST_F(Sdo, EveryAccessWithTheFlagCountsAsActivityWhateverItsResult) {
  uint8_t byte = 0;
  ASSERT_EQ(can_sdo_read2(0x44, 0x2000, 0, &byte, 1, true, ERR_CAN_SDO_DMD_ERROR, "t"), ERR_NONE);
  sim->abort_sdo(0x44, 0x2000, 0, 0x06090011, 0, 1);
  EXPECT_EQ(can_sdo_write2(0x44, 0x2000, 0, &byte, 1, true, ERR_CAN_SDO_DMD_ERROR, "t"),
            ERR_CAN_SDO_DMD_ERROR);
  sim->fail_call("CAN_SDORead", -3, 0, 1);
  EXPECT_EQ(can_sdo_read2(0x44, 0x2000, 0, &byte, 1, true, ERR_CAN_SDO_DMD_ERROR, "t"),
            ERR_CAN_TIMEOUT);
  EXPECT_EQ(activity_, 3);
  ASSERT_EQ(can_sdo_read2(0x44, 0x2000, 0, &byte, 1, false, ERR_CAN_SDO_DMD_ERROR, "t"), ERR_NONE);
  EXPECT_EQ(activity_, 3);
}

TEST_F(Sdo, LibraryFailuresPrintPlainForReadsAndStampedForWrites) {
  uint8_t byte = 0;
  sim->fail_call("CAN_SDORead", 0, 0, 1);
  EXPECT_EQ(can_sdo_read2(0x44, 0x2000, 0, &byte, 1, false, ERR_CAN_SDO_DMD_ERROR, "reader"),
            ERR_UNKNOWN);
  EXPECT_TRUE(plain("can_sdo_read2 called by reader: err=ERR_UNKNOWN\n")) << messages.text();
  sim->fail_call("CAN_SDOWrite", -5, 0, 1);
  EXPECT_EQ(can_sdo_write2(0x44, 0x2000, 0, &byte, 1, false, ERR_CAN_SDO_DMD_ERROR, "writer"),
            ERR_CAN_BUFFER_TOO_SMALL);
  EXPECT_TRUE(stamped("can_sdo_write2 called by writer: err=ERR_CAN_BUFFER_TOO_SMALL\n"))
      << messages.text();
}

TEST_F(Sdo, NodeAbortsGiveTheCallersCodeAndTheAbortCodeInEightHexDigits) {
  uint8_t byte = 0;
  // Completed by the library, refused by the node: not a library failure.
  sim->abort_sdo(0x44, 0x2000, 0, 0x00000001, 0, 1);
  EXPECT_EQ(can_sdo_read2(0x44, 0x2000, 0, &byte, 1, false, ERR_CAN_SDO_ZOOM_ERROR, "reader"),
            ERR_CAN_SDO_ZOOM_ERROR);
  EXPECT_TRUE(plain("can_sdo_read2 called by reader: err=ERR_CAN_SDO_ZOOM_ERROR, result=0, "
                    "abortcode=00000001\n"))
      << messages.text();
  // The top bit set stays eight digits, not a widened negative number.
  sim->abort_sdo(0x44, 0x2000, 0, 0x8000ABCD, 5, 1);
  EXPECT_EQ(can_sdo_write2(0x44, 0x2000, 0, &byte, 1, false, ERR_CAN_SDO_LED_ERROR, "writer"),
            ERR_CAN_SDO_LED_ERROR);
  EXPECT_TRUE(stamped("can_sdo_write2 called by writer: err=ERR_CAN_SDO_LED_ERROR, result=5, "
                      "abortcode=8000ABCD\n"))
      << messages.text();
}

// --- Finding the bridge ----------------------------------------------------

TEST_F(Bridge, FoundBridgeGivesItsAddressAndPrintsIt) {
  const uint8_t other_mac[6] = {1, 2, 3, 4, 5, 6}, other_ip[4] = {1, 1, 1, 1};
  sim->add_bridge(other_mac, other_ip);
  sim->add_bridge(kMac, kIp);
  ASSERT_EQ(find_bridge(&bridge), ERR_NONE);
  EXPECT_EQ(std::vector<uint8_t>(bridge.ip, bridge.ip + 4), std::vector<uint8_t>(kIp, kIp + 4));
  EXPECT_EQ(messages.text(),
            "Found CAN bridge\nMAC address: 00 50 C2 7A 01 F3\nIP  address: 10.20.30.40\n");
  EXPECT_EQ(idle_calls, 0);
}

TEST_F(Bridge, UnconfiguredMacIsRefusedWithoutEnumeration) {
  bridge.mac[0] = 255;
  EXPECT_EQ(find_bridge(&bridge), ERR_CAN_MACADDRESS_ERROR);
  EXPECT_EQ(sim->call_count("CAN_EnumerateBridges"), 0u);
  EXPECT_EQ(std::vector<uint8_t>(bridge.ip, bridge.ip + 4), std::vector<uint8_t>(4, 255));
}

TEST_F(Bridge, ThreeMissesGiveUpAfterTwoPauses) {
  const uint8_t other_mac[6] = {1, 2, 3, 4, 5, 6}, other_ip[4] = {1, 1, 1, 1};
  sim->add_bridge(other_mac, other_ip);
  EXPECT_EQ(find_bridge(&bridge), ERR_CAN_MACADDRESS_ERROR);
  EXPECT_EQ(sim->call_count("CAN_EnumerateBridges"), 3u);
  EXPECT_EQ(idle_calls, 2);
  EXPECT_TRUE(stamped("CAN bridge with MAC address 00 50 C2 7A 01 F3 not found on network\n"))
      << messages.text();
  EXPECT_EQ(std::vector<uint8_t>(bridge.ip, bridge.ip + 4), std::vector<uint8_t>(4, 255));
}

TEST_F(Bridge, EnumerationFailuresAreNotRetriedAndOddCountsAreRefused) {
  struct {
    int32_t result;
    const char *message;
  } cases[] = {
      {-1, "find_bridge: CAN_EnumerateBridges failed\n"},
      {0, "find_bridge: CAN_EnumerateBridges found no CAN bridges\n"},
      {-4, "find_bridge: CAN_EnumerateBridges failed\n"},
      {128, "find_bridge: CAN_EnumerateBridges failed\n"},
      {100000, "find_bridge: CAN_EnumerateBridges failed\n"},
  };
  sim->add_bridge(kMac, kIp);
  for (const auto &c : cases) {
    sim->clear_log();
    messages.clear();
    sim->fail_call("CAN_EnumerateBridges", c.result, 0, 1);
    EXPECT_EQ(find_bridge(&bridge), ERR_CAN_FINDING_BRIDGE) << c.result;
    EXPECT_EQ(sim->call_count("CAN_EnumerateBridges"), 1u) << c.result;
    EXPECT_TRUE(stamped(c.message)) << c.result << ": " << messages.text();
  }
  EXPECT_EQ(idle_calls, 0);
}

TEST_F(Bridge, BridgeThatAppearsBetweenTriesIsFound) {
  const uint8_t other_mac[6] = {9, 9, 9, 9, 9, 9}, other_ip[4] = {2, 2, 2, 2};
  sim->add_bridge(other_mac, other_ip);
  static const cansim_api *s_sim = sim;
  u_idle_hook = [] {
    ++idle_calls;
    s_sim->add_bridge(kMac, kIp);
  };
  EXPECT_EQ(find_bridge(&bridge), ERR_NONE);
  EXPECT_EQ(sim->call_count("CAN_EnumerateBridges"), 2u);
  EXPECT_EQ(idle_calls, 1);
}

// --- Nodes -----------------------------------------------------------------------

class Nodes : public CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    connect();
    sim->add_node(CAN_NODE_ID_LED, 0x2672137D, 3, 2);
  }
};

TEST_F(Nodes, NamesComeFromOneTable) {
  EXPECT_STREQ(can_node_name(CAN_NODE_ID_LED), "CAN_NODE_ID_LED");
  EXPECT_STREQ(can_node_name(0x7F), "CAN_NODE_ID_RAMP");
  EXPECT_STREQ(can_node_name(0x49), "CAN_NODE_ID_WAND2");
  EXPECT_EQ(can_node_name(0x01), nullptr);
}

TEST_F(Nodes, FindNodeReportsFoundMissingAndLibraryFailure) {
  EXPECT_TRUE(find_node(CAN_NODE_ID_LED, "CAN_NODE_ID_LED"));
  EXPECT_FALSE(find_node(CAN_NODE_ID_WAND, "CAN_NODE_ID_WAND"));
  EXPECT_TRUE(stamped("find_node: Error finding node CAN_NODE_ID_WAND: CAN_FindNode status = 0\n"))
      << messages.text();
  sim->fail_call("CAN_FindNode", -3, 0, 1);
  EXPECT_FALSE(find_node(CAN_NODE_ID_LED, "CAN_NODE_ID_LED"));
  EXPECT_TRUE(stamped("find_node: Error finding node CAN_NODE_ID_LED: CAN_FindNode canErr = -3\n"))
      << messages.text();
}

TEST_F(Nodes, OperationalAfterSomePollsOrTimeoutAfterTen) {
  sim->set_operational_after(CAN_NODE_ID_LED, 4, 127);
  EXPECT_TRUE(wait_for_node_operational(CAN_NODE_ID_LED, "CAN_NODE_ID_LED"));
  EXPECT_EQ(sim->call_count("CAN_GetNodeState"), 4u);
  EXPECT_EQ(idle_calls, 3);

  sim->clear_log();
  idle_calls = 0;
  sim->set_operational_after(CAN_NODE_ID_LED, 11, 4);
  EXPECT_FALSE(wait_for_node_operational(CAN_NODE_ID_LED, "CAN_NODE_ID_LED"));
  EXPECT_EQ(sim->call_count("CAN_GetNodeState"), 10u);
  EXPECT_EQ(idle_calls, 10);
  EXPECT_TRUE(plain("wait_for_node_operational: Timeout waiting for node CAN_NODE_ID_LED "
                    "operational: CAN_GetNodeState status = 4\n"))
      << messages.text();

  sim->clear_log();
  sim->fail_call("CAN_GetNodeState", -4, 1, 1);
  sim->set_operational_after(CAN_NODE_ID_LED, 5, 127);
  EXPECT_FALSE(wait_for_node_operational(CAN_NODE_ID_LED, "CAN_NODE_ID_LED"));
  EXPECT_EQ(sim->call_count("CAN_GetNodeState"), 2u) << "a library failure ends the wait";
  EXPECT_TRUE(plain("wait_for_node_operational: Error waiting for node CAN_NODE_ID_LED "
                    "operational: CAN_GetNodeState canErr = -4\n"))
      << messages.text();
}

TEST_F(Nodes, OperationalNodeNeedsAllThreeSteps) {
  uint32_t product = 0;
  EXPECT_TRUE(get_operational_node(&instr, CAN_NODE_ID_LED, "CAN_NODE_ID_LED", &product));
  EXPECT_EQ(product, 0x2672137Du);
  uint16_t major = 0, minor = 0;
  ASSERT_EQ(can_read_version(&instr, CAN_NODE_ID_LED, &major, &minor), ERR_NONE);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 2);

  sim->abort_sdo(CAN_NODE_ID_LED, 0x1018, 2, 0x06020000, 0, 1);
  product = 0;
  EXPECT_FALSE(get_operational_node(&instr, CAN_NODE_ID_LED, "CAN_NODE_ID_LED", &product));
  EXPECT_EQ(product, 0u);
  EXPECT_TRUE(plain("get_operational_node: Error getting node CAN_NODE_ID_LED product ID: "
                    "ERR_CAN_ERROR\n"))
      << messages.text();
  sim->clear_log();
  EXPECT_FALSE(get_operational_node(&instr, CAN_NODE_ID_WAND, "CAN_NODE_ID_WAND", &product));
  EXPECT_EQ(sim->call_count("CAN_GetNodeState"), 0u) << "no wait for a node not found";
}

TEST_F(Nodes, AvailabilityOfTheLedFamiliesIsPrintedAndFlagged) {
  sim->add_node(CAN_NODE_ID_RAMP, 0, 1, 0);
  sim->add_node(CAN_NODE_ID_BRUSHMOTOR, 0, 1, 0);
  instr.can.present.triple_pzt = 1;
  instr.can.expected.brush_motor = 1;
  ASSERT_EQ(can_init_node_availability(&instr), ERR_NONE);
  EXPECT_EQ(instr.can.present.brush_motor, 1);
  EXPECT_EQ(instr.can.present.triple_pzt, 0);
  EXPECT_EQ(messages.text(), "Instrument CAN node status:\n"
                             "  Ramper           : Yes  \n"
                             "  LED              : Yes  \n"
                             "  Dual Brush Motor : Yes\n"
                             "  Triple PZT       : No, Ignore\n");
  messages.clear();
  sim->fail_call("CAN_EnumerateNodes", -6, 0, 1);
  EXPECT_EQ(can_init_node_availability(&instr), ERR_CAN_NO_PDO);
  EXPECT_EQ(instr.can.present.brush_motor, 0);
  EXPECT_TRUE(stamped("can_init_node_availability: CAN_EnumerateNodes canErr = -6\n"))
      << messages.text();
}

// --- The bridge's own checks ---------------------------------------------------

TEST_F(Nodes, ResetFailureIsAHardwareFault) {
  EXPECT_EQ(can_reset_bridge(&instr), ERR_NONE);
  EXPECT_EQ(sim->connected_ip(), 0u) << "a reset drops the connection";
  sim->fail_call("CAN_ResetBridge", -1, 0, 1);
  EXPECT_EQ(can_reset_bridge(&instr), ERR_HW_FAIL);
  EXPECT_TRUE(plain("CAN_ResetBridge canErr -1\n")) << messages.text();
}

TEST_F(Nodes, PowerStatusNamesTheFirstFault) {
  sim->add_node(CAN_NODE_ID_RAMP, 0, 1, 0);
  sim->add_node(CAN_NODE_ID_TRIPLEPZT, 0, 1, 0);
  struct {
    uint8_t bridge_status;
    bool pzt;
    uint32_t faults;
    const char *message; // null: no fault
  } cases[] = {
      {0x08, false, 0x7F, nullptr},
      {0x06, false, 0, "Bridge Status: External 12V power fault\n"},
      {0x0E, false, 0, "Bridge Status: -12V power trip\n"},
      {0x0A, false, 0, "Bridge Status: +12V power trip\n"},
      {0x08, true, 0x00, nullptr},
      {0x08, true, 0x06, "Triple PZT node: Large aperture channel B fault\n"},
      {0x08, true, 0x01, "Triple PZT node: Large aperture channel A fault\n"},
      {0x08, true, 0x0C, "Triple PZT node: Large aperture channel C fault\n"},
      {0x08, true, 0x70, "Triple PZT node: High voltage supply under-voltage fault\n"},
      {0x08, true, 0x60, "Triple PZT node: High voltage supply over-voltage fault\n"},
      {0x08, true, 0xC0, "Triple PZT node: VSync lost\n"},
  };
  for (const auto &c : cases) {
    messages.clear();
    sim->set_object_value(CAN_NODE_ID_RAMP, 0x2010, 1, c.bridge_status, 1);
    sim->set_object_value(CAN_NODE_ID_TRIPLEPZT, 0x1002, 0, c.faults, 4);
    instr.can.present.triple_pzt = c.pzt;
    u_err_t err = can_check_power_status(&instr);
    if (!c.message) {
      EXPECT_EQ(err, ERR_NONE) << std::hex << int(c.bridge_status) << " " << c.faults;
      continue;
    }
    EXPECT_EQ(err, ERR_INST_POWER) << c.message;
    EXPECT_TRUE(stamped(c.message)) << messages.text();
  }
}

TEST_F(Nodes, FirmwareTestsAreComponentWise) {
  struct {
    uint8_t major, minor;
    bool newer_than_1_11, min_6_6, min_7_3;
  } cases[] = {
      {1, 11, false, false, false}, {0, 12, true, false, false}, {2, 0, true, false, false},
      {6, 6, true, true, false},    {7, 0, true, false, false},  {7, 3, true, false, true},
      {8, 2, true, false, false},   {10, 9, true, true, true},
  };
  for (const auto &c : cases) {
    bridge.fw_major = c.major;
    bridge.fw_minor = c.minor;
    EXPECT_EQ(can_fw_newer_than_1_11(&instr), c.newer_than_1_11)
        << int(c.major) << "." << int(c.minor);
    EXPECT_EQ(can_fw_min_6_6(&instr), c.min_6_6) << int(c.major) << "." << int(c.minor);
    EXPECT_EQ(can_fw_min_7_3(&instr), c.min_7_3) << int(c.major) << "." << int(c.minor);
  }
  instr.can.bridge = nullptr;
  EXPECT_FALSE(can_fw_newer_than_1_11(&instr));
  EXPECT_FALSE(can_fw_min_6_6(nullptr));
  EXPECT_FALSE(can_fw_min_7_3(&instr));
}

} // namespace
} // namespace ferry::test

namespace ferry::test {
namespace {

// The simulated bridge behaves as the power-on sequence expects of a real
// one: configuration after reconnection, errors cleared by resets.
TEST_F(Bridge, SimulatedBridgeTakesItsConfigurationAtReconnectionAndClearsErrorsByResets) {
  const can_bridge_lib *lib = can_lib();
  uint8_t major = 0, minor = 0, setting = 0;
  uint32_t value = 0, error = 0;
  EXPECT_EQ(lib->CAN_GetFirmwareVersion(&major, &minor), CAN_LIB_NOT_CONNECTED);
  EXPECT_EQ(lib->CAN_Connect(ip_value(kIp)), -3) << "no such bridge yet";
  connect();
  sim->set_firmware(10, 9);
  ASSERT_EQ(lib->CAN_GetFirmwareVersion(&major, &minor), CAN_LIB_OK);
  EXPECT_EQ(major, 10);
  EXPECT_EQ(minor, 9);
  ASSERT_EQ(lib->CAN_SetBridgeConfiguration(127, 1000), CAN_LIB_OK);
  ASSERT_EQ(lib->CAN_GetBridgeConfiguration(&setting, &value), CAN_LIB_OK);
  EXPECT_EQ(setting, 0);
  ASSERT_EQ(lib->CAN_Connect(ip_value(kIp)), CAN_LIB_OK);
  ASSERT_EQ(lib->CAN_GetBridgeConfiguration(&setting, &value), CAN_LIB_OK);
  EXPECT_EQ(setting, 127);
  EXPECT_EQ(value, 1000u);

  sim->set_last_error(0x31, 2);
  for (uint32_t expected : {0x31u, 0x31u, 0u}) {
    ASSERT_EQ(lib->CAN_GetLastBridgeError(&error), CAN_LIB_OK);
    EXPECT_EQ(error, expected);
    ASSERT_EQ(can_reset_bridge(&instr), ERR_NONE);
    EXPECT_EQ(lib->CAN_GetLastBridgeError(&error), CAN_LIB_NOT_CONNECTED) << "reset disconnects";
    ASSERT_EQ(lib->CAN_Connect(ip_value(kIp)), CAN_LIB_OK);
  }
  EXPECT_EQ(sim->call_count("CAN_ResetBridge"), 3u);
}

} // namespace
} // namespace ferry::test

namespace ferry::test {
namespace {

TEST_F(Bridge, HostOperationsFillTheirGapsWithDefaultsThatSucceed) {
  static int calls = 0;
  calls = 0;
  can_host_ops ops{};
  ops.load_ramps = [](sys_info *) -> u_err_t {
    ++calls;
    return ERR_NO_RAMP_INFO;
  };
  can_set_host_ops(&ops);
  const can_host_ops *current = can_get_host_ops();
  EXPECT_EQ(current->load_ramps(&instr), ERR_NO_RAMP_INFO);
  EXPECT_EQ(calls, 1);
  // Every other step is there and does nothing but succeed.
  uint8_t byte = 7;
  EXPECT_EQ(current->can_agc_init(&instr), ERR_NONE);
  EXPECT_FALSE(current->agc_thread_running());
  EXPECT_EQ(current->sleep_mode_choose(&instr), ERR_NONE);
  EXPECT_EQ(current->scanner_verify(&instr, 3), ERR_NONE);
  EXPECT_EQ(current->can_read_pztramp_valid(&instr, 0, &byte), ERR_NONE);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(current->can_read_pztramp_status(&instr, &byte), ERR_NONE);
  EXPECT_EQ(byte, 0);
  current->can_agc_stop_thread(&instr);
  current->sleep_activity();
  current->light_level_store(&instr);
  can_set_host_ops(nullptr);
  EXPECT_EQ(can_get_host_ops()->load_ramps(&instr), ERR_NONE);
  EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace ferry::test
