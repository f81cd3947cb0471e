// Homing the ND wheel, turning the ring/spot disk, starting ramps and the
// auxiliary motor, against nodes that move one step per poll.

#include "can/can_accessors.h"
#include "can/can_moves.h"
#include "can_fixture.h"
#include "platform/sync.h"
#include "ramps/ramp_file.h"

namespace ferry::test {
namespace {

class Moves : public CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    connect();
    for (uint8_t node : {0x40, 0x42, 0x44, 0x7F})
      sim->add_node(node, 0, 1, 0);
    instr.can.present = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    sim->clear_log();
  }

  // Writes as (node, index, value), in order.
  std::vector<std::tuple<int, int, uint64_t>> writes() const {
    std::vector<std::tuple<int, int, uint64_t>> found;
    for (const cansim_access &a : accesses())
      if (a.kind == 'W')
        found.emplace_back(a.node, a.index, a.value);
    return found;
  }
  uint32_t reads_of(uint16_t index) const {
    uint32_t n = 0;
    for (const cansim_access &a : accesses())
      n += a.kind == 'R' && a.index == index;
    return n;
  }
};

// --- ND wheel ----------------------------------------------------------------

TEST_F(Moves, PolledHomingSharesOneElapsedCountBetweenItsPhases) {
  struct {
    int32_t search, move, limit;
    uint8_t result;
    u_err_t code;
    const char *message;
  } cases[] = {
      {3, 2, 10000, 0x00, ERR_NONE, nullptr},
      {3, 2, 600, 0x00, ERR_NONE, nullptr},
      {3, 2, 500, 0x00, ERR_CAN_NDW_HOME_ERROR,
       "can_home_ndw: timeout waiting for move to initial position, time=500 ms\n"},
      {3, 2, 300, 0x00, ERR_CAN_NDW_HOME_ERROR,
       "can_home_ndw: timeout waiting for home search, time=300 ms\n"},
      {1, 0, 10000, 0x10, ERR_CAN_NDW_HOME_ERROR, "can_home_ndw: llcHomeStatus=16\n"},
  };
  for (const auto &c : cases) {
    sim->set_homing(c.search, c.result, c.move);
    messages.clear();
    idle_calls = 0;
    EXPECT_EQ(can_home_ndw(&instr, true, c.limit), c.code) << c.limit;
    if (c.message) {
      EXPECT_TRUE(plain(c.message)) << messages.text();
    }
  }
  // The full run: three searching reads, then two moving, then stopped.
  sim->set_homing(3, 0x00, 2);
  sim->clear_log();
  idle_calls = 0;
  ASSERT_EQ(can_home_ndw(&instr, true, 10000), ERR_NONE);
  EXPECT_EQ(reads_of(0x2021), 6u);
  EXPECT_EQ(idle_calls, 6);
  EXPECT_EQ(writes(), (std::vector<std::tuple<int, int, uint64_t>>{{0x40, 0x2020, 3}}));
}

TEST_F(Moves, HomingNeedsTheWheelAndReportsItsAbortCode) {
  instr.can.present.focus_ndw = 0;
  EXPECT_EQ(can_home_ndw(&instr, true, 1000), ERR_CAN_NODE_NOT_AVAIL);
  EXPECT_TRUE(stamped("can_home_ndw: CAN Focus and ND Wheel node is not available\n"));
  instr.can.present.focus_ndw = 1;
  sim->abort_sdo(0x40, 0x2020, 0, 0x06010002, 0, 1);
  EXPECT_EQ(can_home_ndw(&instr, true, 1000), ERR_CAN_SDO_NDW_ERROR);
  sim->set_homing(5, 0, 0);
  sim->abort_sdo(0x40, 0x2021, 0, 0x06010002, 0, 1);
  EXPECT_EQ(can_home_ndw(&instr, true, 1000), ERR_CAN_SDO_NDW_ERROR);
}

TEST_F(Moves, PumpedHomingFollowsTheWheelsReportsAndSignalsItsStop) {
  instr.sys_type = 23;
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  plat_event *stopped = plat_event_create("CAN_NDWHEEL_STOPPED", true, false, nullptr);
  ASSERT_NE(stopped, nullptr);
  plat_event_reset(stopped);
  sim->set_homing(3, 0x00, 2);
  // Each pause of the wait lets the wheel take one step and report it.
  static const cansim_api *s_sim = sim;
  u_idle_hook = [] {
    ++idle_calls;
    s_sim->tick();
    s_sim->flush(10000);
  };
  EXPECT_EQ(can_home_ndw(&instr, false, 10000), ERR_NONE) << messages.text();
  EXPECT_EQ(idle_calls, 6);
  EXPECT_EQ(reads_of(0x2021), 0u) << "the pumped wait reads nothing";
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_SIGNALLED);
  EXPECT_EQ(can_ndw_home_status(), 0);
  EXPECT_EQ(can_ndw_moving_status(), 0);
  // Too short a limit for the same run ends in the move phase.
  sim->set_homing(3, 0x00, 2);
  idle_calls = 0;
  EXPECT_EQ(can_home_ndw(&instr, false, 500), ERR_CAN_NDW_HOME_ERROR);
  EXPECT_EQ(idle_calls, 5);
  plat_event_close(stopped);
}

TEST_F(Moves, WheelLevelResetsTheStoppedEventAndSetsItAgainOnFailure) {
  plat_event *stopped = plat_event_create("CAN_NDWHEEL_STOPPED", true, true, nullptr);
  ASSERT_EQ(can_write_ndw_llcLevel(&instr, 100), ERR_NONE);
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_TIMEOUT) << "a move is under way";
  sim->abort_sdo(0x40, 0x2028, 0, 0x06010002, 0, 1);
  EXPECT_EQ(can_write_ndw_llcLevel(&instr, 100), ERR_CAN_SDO_NDW_ERROR);
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_SIGNALLED) << "no move to wait for";
  plat_event_close(stopped);
}

// --- Ring/spot disk ------------------------------------------------------------

TEST_F(Moves, DiskMoveClearsTheKeypressBitForTheMoveAndRestoresIt) {
  instr.sys_type = 23;
  sim->set_motion_polls(0x44, 3);
  idle_calls = 0;
  ASSERT_EQ(can_move_rs_disk(&instr, 1, true), ERR_NONE);
  EXPECT_EQ(writes(), (std::vector<std::tuple<int, int, uint64_t>>{
                          {0x44, 0x2044, 0x00}, {0x44, 0x2034, 0xFCE0}, {0x44, 0x2044, 0x02}}));
  EXPECT_EQ(reads_of(0x2021), 4u);
  EXPECT_EQ(idle_calls, 4);
  uint32_t position = 0;
  ASSERT_TRUE(sim->object_value(0x44, 0x2047, 0, &position));
  EXPECT_EQ(position, 2u);
  // Already there: nothing moves.
  sim->clear_log();
  ASSERT_EQ(can_move_rs_disk(&instr, 1, true), ERR_NONE);
  EXPECT_TRUE(writes().empty());
  // Back, with the keypress bit already clear: only the current.
  sim->set_object_value(0x44, 0x2044, 8, 0x01, 1);
  sim->clear_log();
  ASSERT_EQ(can_move_rs_disk(&instr, 0, true), ERR_NONE);
  EXPECT_EQ(writes(), (std::vector<std::tuple<int, int, uint64_t>>{{0x44, 0x2034, 800}}));
}

TEST_F(Moves, DiskThatNeverStopsTimesOutWithItsKeypressRestored) {
  instr.sys_type = 30;
  sim->set_motion_polls(0x44, 100000);
  EXPECT_EQ(can_move_rs_disk(&instr, 1, true), ERR_RS_TIMEOUT);
  EXPECT_EQ(reads_of(0x2021), 500u);
  std::vector<std::tuple<int, int, uint64_t>> w = writes();
  ASSERT_FALSE(w.empty());
  EXPECT_EQ(w.back(), std::make_tuple(0x44, 0x2044, uint64_t{0x02}));
  // The restore's own failure does not hide the motion error.
  sim->set_object_value(0x44, 0x2047, 0, 1, 1);
  sim->abort_sdo(0x44, 0x2044, 8, 0x06010002, 0, -1);
  sim->set_object_value(0x44, 0x2044, 8, 0x00, 1);
  EXPECT_EQ(can_move_rs_disk(&instr, 1, true), ERR_CAN_SDO_ROF_ERROR) << "the keypress read fails";
}

TEST_F(Moves, DiskMoveArgumentsAndSystemsWithoutIt) {
  EXPECT_EQ(can_move_rs_disk(&instr, 2, true), ERR_INVALID_PARAM);
  EXPECT_EQ(can_move_rs_disk(nullptr, 0, true), ERR_SYS_INFO_NOT_AVAIL);
  instr.can.present.dd_rs = 0;
  EXPECT_EQ(can_move_rs_disk(&instr, 1, true), ERR_NONE);
  instr.can.present.dd_rs = 1;
  instr.instrBdType = 5;
  EXPECT_EQ(can_move_rs_disk(&instr, 1, true), ERR_NONE);
  EXPECT_EQ(sim->access_count(), 0u);
  // A system that does not report the move is not waited for.
  instr.instrBdType = 8;
  instr.sys_type = 25;
  sim->set_motion_polls(0x44, 3);
  EXPECT_EQ(can_move_rs_disk(&instr, 1, true), ERR_NONE);
  EXPECT_EQ(reads_of(0x2021), 0u);
}

// --- Ramps --------------------------------------------------------------------------

class Ramps : public Moves {
protected:
  void SetUp() override {
    Moves::SetUp();
    table[0].slot = 2;
    table[1].slot = 0;
    instr.ramps.ramp_table = table;
    instr.ramps.ramp_count = 2;
    instr.sys_type = 22;
    calls.clear();
  }
  rr_ramp table[2] = {};
  static inline std::vector<std::string> calls;
};

TEST_F(Ramps, BridgeRamperSelectsChecksAndStarts) {
  ASSERT_EQ(can_start_ramp(&instr, 0), ERR_NONE);
  std::vector<std::pair<char, int>> seen;
  for (const cansim_access &a : accesses())
    seen.emplace_back(a.kind, a.index);
  EXPECT_EQ(seen, (std::vector<std::pair<char, int>>{
                      {'W', 0x2001}, {'R', 0x2005}, {'R', 0x2000}, {'W', 0x2000}}));
  EXPECT_GT(instr.can.ramp_last_start[0], 0.0);
  EXPECT_EQ(instr.can.ramp_last_start[1], 0.0);
  // Still running: the next start is refused.
  sim->set_ramp_busy_polls(1);
  ASSERT_EQ(can_start_ramp(&instr, 1), ERR_NONE);
  EXPECT_EQ(can_start_ramp(&instr, 0), ERR_RAMP_BUSY);
  EXPECT_TRUE(plain("can_start_ramp/pztramp: cannot start ramp, status = 1\n")) << messages.text();
  // A slot the bridge calls invalid.
  sim->set_object_value(0x7F, 0x2005, 1, 0, 1);
  EXPECT_EQ(can_start_ramp(&instr, 0), ERR_INVALID_RAMP_INDEX);
}

TEST_F(Ramps, RefusedBeforeAnyTransfer) {
  struct {
    int32_t board, sys_type, index;
    bool table;
    u_err_t code;
  } cases[] = {
      {5, 22, 0, true, ERR_WRONG_INSTR_BOARD},  {8, 22, 0, false, ERR_NO_RAMP_INFO},
      {8, 22, 2, true, ERR_INVALID_RAMP_INDEX}, {8, 22, -1, true, ERR_INVALID_RAMP_INDEX},
      {8, 99, 0, true, ERR_INTERNAL_MB},
  };
  for (const auto &c : cases) {
    instr.instrBdType = c.board;
    instr.sys_type = c.sys_type;
    instr.ramps.ramp_table = c.table ? table : nullptr;
    EXPECT_EQ(can_start_ramp(&instr, c.index), c.code) << c.board << " " << c.sys_type;
  }
  EXPECT_EQ(sim->access_count(), 0u);
}

TEST_F(Ramps, PztRamperIsTheHostsAndScannerIsVerifiedOnTheFirstStartOnly) {
  static u_err_t verify_result = ERR_NONE;
  can_host_ops ops{};
  ops.can_write_pztramp_select = [](sys_info *, int32_t slot) -> u_err_t {
    calls.push_back("select " + std::to_string(slot));
    return ERR_NONE;
  };
  ops.can_read_pztramp_valid = [](sys_info *, int32_t, uint8_t *valid) -> u_err_t {
    calls.push_back("valid");
    *valid = 1;
    return ERR_NONE;
  };
  ops.can_read_pztramp_status = [](sys_info *, uint8_t *status) -> u_err_t {
    calls.push_back("status");
    *status = 0;
    return ERR_NONE;
  };
  ops.can_pztramp_start = [](sys_info *) -> u_err_t {
    calls.push_back("start");
    return ERR_NONE;
  };
  ops.scanner_verify = [](sys_info *, int32_t index) -> u_err_t {
    calls.push_back("verify " + std::to_string(index));
    return verify_result;
  };
  can_set_host_ops(&ops);
  instr.sys_type = 25;
  instr.can.digital_scanner = 1;
  bridge.fw_major = 7;
  bridge.fw_minor = 3;
  ASSERT_EQ(can_start_ramp(&instr, 1), ERR_NONE);
  ASSERT_EQ(can_start_ramp(&instr, 1), ERR_NONE);
  EXPECT_EQ(calls, (std::vector<std::string>{"select 0", "verify 1", "valid", "status", "start",
                                             "select 0", "valid", "status", "start"}));
  EXPECT_EQ(sim->access_count(), 0u);
  // A failed verification gives the scanner its triggering bit back.
  verify_result = ERR_CAN_DIGITAL_SCANNER_MISSING;
  sim->set_object_value(0x7F, 0x2010, 2, 0x0900, 2);
  EXPECT_EQ(can_start_ramp(&instr, 0), ERR_CAN_DIGITAL_SCANNER_MISSING);
  uint32_t config = 0;
  sim->object_value(0x7F, 0x2010, 2, &config);
  EXPECT_EQ(config, 0x2900u);
  verify_result = ERR_NONE;
}

// --- Auxiliary motor --------------------------------------------------------------

TEST_F(Moves, AuxiliaryMotorWaitsUntilReadyOrTimesOut) {
  sim->set_motion_polls(0x42, 3);
  ASSERT_EQ(can_switch_aux_motor(&instr, true), ERR_NONE);
  EXPECT_EQ(writes(), (std::vector<std::tuple<int, int, uint64_t>>{{0x42, 0x2034, 500}}));
  EXPECT_EQ(reads_of(0x2021), 4u);
  sim->clear_log();
  ASSERT_EQ(can_switch_aux_motor(&instr, false), ERR_NONE);
  EXPECT_EQ(writes(), (std::vector<std::tuple<int, int, uint64_t>>{{0x42, 0x2034, 0xFE0C}}));
  sim->set_motion_polls(0x42, 30);
  sim->clear_log();
  idle_calls = 0;
  EXPECT_EQ(can_switch_aux_motor(&instr, true), ERR_AV_TIMEOUT);
  EXPECT_EQ(reads_of(0x2021), 21u);
  EXPECT_EQ(idle_calls, 21);
  sim->abort_sdo(0x42, 0x2034, 0, 0x06010002, 0, 1);
  EXPECT_EQ(can_switch_aux_motor(&instr, true), ERR_CAN_AUX_MOTOR_ERROR);
  sim->abort_sdo(0x42, 0x2021, 0, 0x06010002, 0, 1);
  EXPECT_EQ(can_switch_aux_motor(&instr, true), ERR_CAN_SDO_AUX_MOTOR_ERROR);
}

} // namespace
} // namespace ferry::test
