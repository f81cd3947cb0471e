// The CAN event queues: handlers, the pump and its decoding by system
// family, the lists the host reads, their room, and PDO registration.

#include <array>
#include <cstring>

#include "can_fixture.h"
#include "platform/sync.h"

namespace ferry::test {
namespace {

class Events : public CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    can_events_reset_zoom_state();
    instr.can.last_turret_position = 0;
  }

  // Codes the pump decodes from these PDOs on this system type.
  std::vector<int32_t> decode(int32_t sys_type, std::initializer_list<can_pdo_record> pdos) {
    instr.sys_type = sys_type;
    for (const can_pdo_record &pdo : pdos)
      mc_pdo_handler(pdo.cob_id, pdo.word2, pdo.data);
    can_process_events(&instr);
    return take_codes();
  }

  std::vector<int32_t> take_codes() {
    std::vector<int32_t> codes;
    can_decoded_event event;
    while (can_decoded_event_take(&event))
      codes.push_back(event.code);
    return codes;
  }

  static can_pdo_record pdo(uint32_t cob_id, std::initializer_list<uint8_t> data) {
    can_pdo_record record{};
    record.cob_id = cob_id;
    std::copy(data.begin(), data.end(), record.data);
    return record;
  }

  static can_events_drops drops() {
    can_events_drops d{};
    can_events_dropped(&d);
    return d;
  }
};

using Codes = std::vector<int32_t>;

TEST_F(Events, OverrunWithNothingWaitingPrintsAndQueuesNothing) {
  ReceivePdoHandler(0, 1);
  EXPECT_EQ(messages.calls(), std::vector<std::string>{"ReceivePdo overrun.\n"});
  EXPECT_FALSE(can_process_events(&instr));
  ReceivePdoHandler(-3, 0);
  EXPECT_TRUE(messages.calls().size() == 1u);
}

TEST_F(Events, FailedFetchInTheMiddleIsReportedOnceAndTheRestStillFetched) {
  connect();
  instr.sys_type = 26;
  sim->fail_call("CAN_GetPDO", -3, 1, 1);
  // Queued before the handlers exist, so they arrive in one call.
  for (uint8_t key : {1, 2, 3})
    sim->queue_pdo(0x1C8, std::array<uint8_t, 8>{key}.data());
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  ASSERT_EQ(sim->flush(10000), 1);
  EXPECT_EQ(sim->call_count("CAN_GetPDO"), 3u);
  EXPECT_EQ(messages.calls(), std::vector<std::string>{"ReceivePdoHandler canErr = -3\n"});
  can_process_events(&instr);
  EXPECT_EQ(take_codes(), (Codes{CAN_EV_WAND_KEY1, CAN_EV_WAND_KEY2}));
}

TEST_F(Events, EveryFamilyDecodesItsNodes) {
  struct {
    int32_t sys_type;
    can_pdo_record pdo;
    Codes codes;
  } cases[] = {
      // Wands, first PDO: keys 1 to 3; other values nothing.
      {26, pdo(0x1C8, {1}), {CAN_EV_WAND_KEY1}},
      {26, pdo(0x1C9, {2}), {CAN_EV_WAND_KEY2}},
      {25, pdo(0x1C8, {3}), {CAN_EV_WAND_KEY3}},
      {23, pdo(0x1C9, {4}), {}},
      {26, pdo(0x2C8, {1}), {}},
      // Ring/spot disk, second PDO while not moving: reports 1 and 2.
      {25, pdo(0x2C4, {0x00, 0, 1}), {CAN_EV_RS_REPORT1}},
      {30, pdo(0x2C4, {0x00, 0, 2}), {CAN_EV_RS_REPORT2}},
      {32, pdo(0x2C4, {0x02, 0, 1}), {}},
      {26, pdo(0x2C4, {0x00, 0, 1}), {}},
      // Focus, first PDO: always a report, on the full family only.
      {33, pdo(0x1C0, {0}), {CAN_EV_FOCUS_REPORT}},
      {25, pdo(0x1C0, {0}), {}},
      // ND wheel, second PDO: no code.
      {23, pdo(0x2C0, {0x02}), {}},
      // Brush motor: nothing on the KPS families; the turret when encoded.
      {23, pdo(0x1BF, {3}), {}},
      {11, pdo(0x1BF, {3}), {CAN_EV_TURRET_POSITION}},
      {11, pdo(0x1BF, {3}), {}},
      {35, pdo(0x1BF, {4}), {CAN_EV_TURRET_POSITION}},
      // Families without decoders, and PDOs of nodes no family decodes.
      {27, pdo(0x1C8, {1}), {}},
      {22, pdo(0x1C8, {1}), {}},
      {22, pdo(0x1B0, {1}), {}},
  };
  instr.can.turret_type = SYS_INFO_TURRET_ENCODED;
  for (const auto &c : cases)
    EXPECT_EQ(decode(c.sys_type, {c.pdo}), c.codes)
        << "system " << c.sys_type << " COB-ID " << std::hex << c.pdo.cob_id;
  EXPECT_EQ(instr.can.last_turret_position, 4);
  // Nothing is decoded off the CAN board, and the queue is emptied anyway.
  instr.instrBdType = 5;
  EXPECT_EQ(decode(26, {pdo(0x1C8, {1})}), Codes{});
  instr.instrBdType = 8;
  EXPECT_FALSE(can_process_events(&instr));
}

TEST_F(Events, TurretNeedsTheEncodedKind) {
  instr.can.turret_type = SYS_INFO_TURRET_MOTORIZED;
  EXPECT_EQ(decode(13, {pdo(0x1BF, {2})}), Codes{});
}

TEST_F(Events, BrushMotorZoomMovesThroughItsStates) {
  // 0x08 moving; 0x20 settling; data byte 1 the raw position code.
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x08, 1})}), (Codes{CAN_EV_ZOOM_MOVING, CAN_EV_ZOOM_POSITION}));
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x08, 1})}), (Codes{CAN_EV_ZOOM_MOVING}));
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x20, 1})}), Codes{}) << "now settling";
  // Seen settling with 0x20 clear and moving again: done, then moving.
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x08, 1})}),
            (Codes{CAN_EV_ZOOM_MOVE_DONE, CAN_EV_ZOOM_MOVING}));
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x20, 1})}), Codes{});
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x00, 1})}), Codes{CAN_EV_ZOOM_MOVE_DONE});
  EXPECT_EQ(decode(22, {pdo(0x2BF, {0x00, 1})}), Codes{}) << "idle stays idle";
  // The position map: raw 2 is position 5; raw codes past the map yield
  // nothing and leave the last position alone.
  EXPECT_EQ(decode(31, {pdo(0x2BF, {0x00, 2})}), Codes{CAN_EV_ZOOM_POSITION});
  EXPECT_EQ(decode(31, {pdo(0x2BF, {0x00, 8}), pdo(0x2BF, {0x00, 255})}), Codes{});
  EXPECT_EQ(decode(31, {pdo(0x2BF, {0x00, 2})}), Codes{});
  EXPECT_EQ(decode(31, {pdo(0x2BF, {0x00, 7})}), Codes{CAN_EV_ZOOM_POSITION});
  const int32_t map[] = {0, 6, 5, 4, 3, 2, 1, 7};
  for (uint32_t raw = 0; raw < 8; ++raw)
    EXPECT_EQ(can_zoom_map(raw), map[raw]);
  EXPECT_EQ(can_zoom_map(8), -1);
}

TEST_F(Events, WheelStopSignalsItsEventOnTheFallingEdgeOnly) {
  plat_event *stopped = plat_event_create("CAN_NDWHEEL_STOPPED", true, false, nullptr);
  plat_event_reset(stopped);
  decode(26, {pdo(0x2C0, {0x0A})});
  EXPECT_EQ(can_ndw_home_status(), 0x08);
  EXPECT_EQ(can_ndw_moving_status(), 0x02);
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_TIMEOUT);
  decode(26, {pdo(0x2C0, {0x12})});
  EXPECT_EQ(can_ndw_home_status(), 0x10);
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_TIMEOUT);
  decode(26, {pdo(0x2C0, {0x00})});
  EXPECT_EQ(can_ndw_moving_status(), 0);
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_SIGNALLED);
  plat_event_reset(stopped);
  decode(26, {pdo(0x2C0, {0x00})});
  EXPECT_EQ(plat_event_wait(stopped, 0), PLAT_WAIT_TIMEOUT) << "no second stop without a move";
  plat_event_close(stopped);
  // Without the event (no wheel set up) the stop is only noted.
  decode(26, {pdo(0x2C0, {0x02}), pdo(0x2C0, {0x00})});
  EXPECT_EQ(can_ndw_moving_status(), 0);
}

TEST_F(Events, PumpReportsEntriesLeftInEitherList) {
  EXPECT_FALSE(can_process_events(&instr));
  const uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ReceiveEmcyHandler(0x81, 0xFF10, data, 0x7E);
  EXPECT_TRUE(can_process_events(&instr));
  EXPECT_TRUE(can_process_events(&instr)) << "the entry is still there";
  can_event_entry entry{};
  ASSERT_TRUE(can_event_take(&entry));
  EXPECT_EQ(entry.kind, CAN_EVENT_EMERGENCY);
  EXPECT_EQ(entry.emcy.first, 0x81u);
  EXPECT_EQ(entry.emcy.second, 0xFF10u);
  EXPECT_EQ(std::memcmp(entry.emcy.data, data, 12), 0);
  EXPECT_EQ(entry.emcy.byte_value, 0x7Eu);
  EXPECT_FALSE(can_process_events(&instr));
  EXPECT_FALSE(can_event_take(&entry));

  const uint8_t tick[20] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  can_decoded_event_add(CAN_EV_SLEEP_TICK, tick);
  EXPECT_TRUE(can_process_events(&instr));
  uint32_t events = 9, decoded = 9;
  can_events_pending(&events, &decoded);
  EXPECT_EQ(events, 0u);
  EXPECT_EQ(decoded, 1u);
  can_events_clear();
  EXPECT_FALSE(can_process_events(&instr));
}

TEST_F(Events, MotionLibraryPdosKeepTheirSecondWord) {
  instr.sys_type = 26;
  const uint8_t data[8] = {1, 0, 0, 0, 0, 0, 0, 0x99};
  mc_pdo_handler(0x1C8, 0xCAFE, data);
  const uint8_t emcy[12] = {5};
  mc_emcy_handler(1, 2, emcy, 3);
  ASSERT_TRUE(can_process_events(&instr));
  can_decoded_event event{};
  ASSERT_TRUE(can_decoded_event_take(&event));
  EXPECT_EQ(event.code, CAN_EV_WAND_KEY1);
  EXPECT_EQ(event.pdo.cob_id, 0x1C8u);
  EXPECT_EQ(event.pdo.word2, 0xCAFEu);
  EXPECT_EQ(event.pdo.data[7], 0x99);
  can_event_entry entry{};
  ASSERT_TRUE(can_event_take(&entry));
  EXPECT_EQ(entry.emcy.byte_value, 3u);
}

TEST_F(Events, FullListsCountWhatDoesNotFitAndSayItOnce) {
  const can_events_drops before = drops();
  const uint8_t data[12] = {};
  for (int i = 0; i < 4000; ++i)
    ReceiveEmcyHandler(i, 0, data, 0);
  can_process_events(&instr);
  for (int i = 0; i < 106; ++i)
    ReceiveEmcyHandler(i, 0, data, 0);
  can_process_events(&instr);
  for (int i = 0; i < 7; ++i)
    ReceiveEmcyHandler(i, 0, data, 0);
  can_process_events(&instr);
  EXPECT_EQ(drops().event_list - before.event_list, 17u);
  EXPECT_EQ(messages.calls(),
            std::vector<std::string>{"CAN event list full (4096 entries): entries dropped\n"});
  uint32_t events = 0;
  can_events_pending(&events, nullptr);
  EXPECT_EQ(events, 4096u);
  // The oldest are kept, in order.
  can_event_entry entry{};
  ASSERT_TRUE(can_event_take(&entry));
  EXPECT_EQ(entry.emcy.first, 0u);
  can_events_clear();

  // Raw queues too: a pump that does not run loses what exceeds their room.
  messages.clear();
  const uint8_t pdo_data[8] = {1};
  for (int i = 0; i < CAN_PDO_QUEUE_ROOM + 5; ++i)
    mc_pdo_handler(0x1C8, 0, pdo_data);
  EXPECT_EQ(drops().pdo_queue - before.pdo_queue, 5u);
  EXPECT_EQ(messages.calls(),
            std::vector<std::string>{"CAN PDO queue full (16384 entries): entries dropped\n"});
  instr.sys_type = 26;
  can_process_events(&instr);
  EXPECT_EQ(drops().decoded_list - before.decoded_list, uint64_t{CAN_PDO_QUEUE_ROOM - 4096});
  uint32_t decoded = 0;
  can_events_pending(nullptr, &decoded);
  EXPECT_EQ(decoded, 4096u);
}

TEST_F(Events, LocksLiveInTheProcessRegistryAndSurviveFreeing) {
  connect();
  ASSERT_EQ(CanCreateSyncObjects(), ERR_NONE);
  for (const char *name : {"TarnCanEventMutex", "TarnPdoQueueMutex", "TarnEmcyQueueMutex"}) {
    plat_event *lock = plat_event_open(name);
    EXPECT_NE(lock, nullptr) << name;
    plat_event_close(lock);
  }
  instr.sys_type = 26;
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  can_register_events(&instr, false);
  can_events_free_resources();
  // A handler called after freeing still finds its lock and its queue.
  const uint8_t data[8] = {2};
  mc_pdo_handler(0x1C9, 0, data);
  can_process_events(&instr);
  EXPECT_EQ(take_codes(), Codes{CAN_EV_WAND_KEY2});
  ASSERT_EQ(CanCreateSyncObjects(), ERR_NONE);
  plat_event *lock = plat_event_open("TarnPdoQueueMutex");
  EXPECT_EQ(plat_event_wait(lock, 0), PLAT_WAIT_SIGNALLED) << "free, and the same object";
  plat_event_set(lock);
  plat_event_close(lock);
}

TEST_F(Events, RegistrationInstallsAndRemovesTheHandlers) {
  connect();
  instr.sys_type = 25;
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  EXPECT_EQ(sim->handlers_registered(), 1);
  uint8_t data[8] = {1};
  sim->queue_pdo(0x1C8, data);
  const uint8_t emcy[12] = {};
  sim->queue_emcy(7, 8, emcy, 9);
  sim->set_overrun();
  ASSERT_EQ(sim->flush(10000), 1);
  EXPECT_TRUE(can_process_events(&instr));
  EXPECT_EQ(take_codes(), Codes{CAN_EV_WAND_KEY1});
  can_event_entry entry{};
  EXPECT_TRUE(can_event_take(&entry));
  EXPECT_EQ(entry.emcy.first, 7u);
  EXPECT_TRUE(plain("ReceivePdo overrun.\n"));

  ASSERT_EQ(can_register_events(&instr, false), ERR_NONE);
  EXPECT_EQ(sim->handlers_registered(), 0);
  EXPECT_EQ(sim->registered_pdos(nullptr, 0), 0u);
  sim->fail_call("CAN_RegisterEvents", -4, 0, 1);
  EXPECT_EQ(can_register_events(&instr, true), ERR_CAN_TCP_TRANSMISSION_ERROR);
  EXPECT_EQ(sim->registered_pdos(nullptr, 0), 0u) << "no PDOs without handlers";
  sim->fail_call("CAN_UnregisterPDOs", -3, 0, 2);
  EXPECT_EQ(can_register_events(&instr, false), ERR_CAN_TIMEOUT);
  EXPECT_EQ(messages.text().find("can_register_events canErr = -4\n") != std::string::npos &&
                messages.text().find("can_register_events canErr = -3\n") != std::string::npos,
            true)
      << messages.text();
  can_events_free_resources();
  EXPECT_TRUE(plain("can_events_free_resources canErr = -3\n")) << messages.text();
}

TEST_F(Events, EachFamilyRegistersItsPdos) {
  connect();
  struct {
    int32_t board, sys_type, turret, zoom;
    uint32_t product;
    std::vector<uint32_t> cob_ids;
  } cases[] = {
      {8, 11, SYS_INFO_TURRET_ENCODED, SYS_INFO_ZOOM_NONE, 0, {0x1BF}},
      {8, 13, SYS_INFO_TURRET_MOTORIZED, SYS_INFO_ZOOM_MOTORIZED, 0x267215D5, {0x2BF}},
      {8, 22, SYS_INFO_TURRET_NONE, SYS_INFO_ZOOM_MOTORIZED, 0x267215D7, {}},
      {8, 29, SYS_INFO_TURRET_ENCODED, SYS_INFO_ZOOM_ENCODED, 0x267215D7, {0x1BF, 0x2BF}},
      {8, 35, SYS_INFO_TURRET_NONE, SYS_INFO_ZOOM_ENCODED, 0x267215D5, {0x2BF}},
      {8, 31, SYS_INFO_TURRET_NONE, SYS_INFO_ZOOM_ENCODED, 0x11111111, {}},
      {8, 23, 0, 0, 0, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
      {8, 33, 0, 0, 0, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
      {8, 25, 0, 0, 0, {0x1C8, 0x1C9, 0x2C0, 0x2C4}},
      {8, 26, 0, 0, 0, {0x1C8, 0x1C9, 0x2C0}},
      {8, 27, SYS_INFO_TURRET_ENCODED, 0, 0, {}},
      {5, 23, 0, 0, 0, {}},
  };
  for (const auto &c : cases) {
    can_lib()->CAN_UnregisterPDOs();
    instr.instrBdType = c.board;
    instr.sys_type = c.sys_type;
    instr.can.turret_type = c.turret;
    instr.can.zoom_type = c.zoom;
    bridge.brmotor_product_id = c.product;
    EXPECT_EQ(can_register_pdos(&instr), ERR_NONE);
    std::vector<uint32_t> registered(16);
    registered.resize(sim->registered_pdos(registered.data(), 16));
    EXPECT_EQ(registered, c.cob_ids) << "system " << c.sys_type;
  }
}

} // namespace
} // namespace ferry::test
