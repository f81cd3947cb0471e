// The readiness tests that reach other libraries: a motion controller whose
// library has an event, and the CAN event source fed by the simulated
// bridge.

#include <array>

#include "can/can_fixture.h"
#include "device_fixture.h"
#include "motion/motion_wrapper.h"
#include "platform/dynlib.h"
#include "sim/fake_libraries.h"

namespace {

using ferry::test::DeviceTest;

TEST_F(DeviceTest, MotionControllerIsReadyWhileItsLibraryHasAnEvent) {
  plat_set_library_dir(FAKE_MOTION_SINGLE_POSITION_DIR);
  ASSERT_EQ(mc_mwi_bind(), ERR_NONE);
  plat_dynlib *fake = plat_dynlib_load("MotionWrapperInterface.dll");
  ASSERT_NE(fake, nullptr);
  auto post_event =
      reinterpret_cast<void (*)(int32_t, int32_t)>(plat_dynlib_symbol(fake, "FakeMwi_PostEvent"));
  ASSERT_NE(post_event, nullptr);
  int32_t connection = 0;
  ASSERT_EQ(mc_mwi.InitMotionWrapperInterface_MWI(), 0);
  ASSERT_EQ(mc_mwi.OpenComm_MWI("stage.cfg", &connection), 0);

  dev_owner controller{DEV_COMM_MWI, nullptr, connection};
  ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 400, &controller), ERR_NONE);
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
  post_event(4, 1);
  ASSERT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_OWNER);
  EXPECT_EQ(record.owner, &controller);
  // Ready for as long as the library holds the event.
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_TYPE_OWNER);
  int32_t event = 0, axis = 0;
  ASSERT_EQ(mc_mwi.GetEvent_MWI(connection, &event, &axis), 0);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);

  ASSERT_EQ(dev_remove_device(400), ERR_NONE);
  mc_mwi.CloseComm_MWI(connection);
  plat_dynlib_unload(fake);
  mc_mwi_unbind();
  plat_set_library_dir(nullptr);
  // Unbound again: such a device is refused.
  EXPECT_EQ(dev_add_device(DEV_TYPE_OWNER, 400, &controller), ERR_MC_NOT_AVAIL);
}

// The CAN module's side of the slot: its event pump run with the owner.
bool can_pump(int64_t, void *owner) {
  return can_process_events(static_cast<sys_info *>(owner));
}

class CanSource : public ferry::test::CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    if (HasFatalFailure())
      return;
    // The CAN suites' scale would make the worker's bound a millisecond.
    plat_set_time_scale(0.01);
    ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
    dev_set_can_event_test(can_pump);
  }
  void TearDown() override {
    dev_set_can_event_test(nullptr);
    EXPECT_EQ(dev_init_cntrl(true), ERR_NONE);
    CanTest::TearDown();
  }
};

TEST_F(CanSource, QueuedPdoMakesTheSourceReady) {
  connect();
  instr.sys_type = 26;
  ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, &instr), ERR_NONE);
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);

  sim->queue_pdo(0x1C8, std::array<uint8_t, 8>{1}.data());
  ASSERT_EQ(sim->flush(10000), 1);
  ASSERT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_CAN);
  EXPECT_EQ(record.handle, 0x43414E);
  EXPECT_EQ(record.owner, &instr);
  // The pump decoded the PDO for the host; once taken, nothing is left.
  can_decoded_event decoded{};
  ASSERT_TRUE(can_decoded_event_take(&decoded));
  EXPECT_EQ(decoded.code, CAN_EV_WAND_KEY1);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
  ASSERT_EQ(can_register_events(&instr, false), ERR_NONE);
}

} // namespace
