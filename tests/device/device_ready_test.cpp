// The readiness tests as dev_data_read reports them: the owner event, the
// serial input of a simulated device on a pseudo-terminal, and the CAN
// event test in its slot; the wanted mask and the event state.

#include "device_fixture.h"

#include "base/sys_info.h"
#include "serial/sio.h"
#include "sim/serial_device.h"

namespace {

using ferry::test::DeviceTest;
using ferry::test::SimLink;
using ferry::test::SteeredTest;

TEST_F(DeviceTest, OwnerEventIsReportedOncePerSignal) {
  EventDevice device;
  ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 300, &device.owner), ERR_NONE);
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);

  device.signal();
  ASSERT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_OWNER);
  EXPECT_EQ(record.handle, 300);
  EXPECT_EQ(record.state, DEV_STATE_IN_USE);
  EXPECT_EQ(record.type, DEV_TYPE_OWNER);
  EXPECT_EQ(record.owner, &device.owner);
  EXPECT_EQ(plat_event_wait(device.event, 0), PLAT_WAIT_TIMEOUT)
      << "the report consumes the signal";
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);

  // Two signals before anyone looks are one signal of the event.
  device.signal();
  device.signal();
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_TYPE_OWNER);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
}

TEST_F(DeviceTest, IgnoredDeviceIsNeverReportedNorTested) {
  EventDevice device;
  ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 301, &device.owner), ERR_NONE);
  ASSERT_EQ(dev_set_event_state(301, DEV_EVENT_IGNORED), ERR_NONE);
  device.signal();
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_NOTHING_READY);
  EXPECT_EQ(plat_event_wait(device.event, 0), PLAT_WAIT_SIGNALLED) << "its test never ran";
  ASSERT_EQ(dev_set_event_state(301, DEV_EVENT_WATCHED), ERR_NONE);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_OWNER);
}

TEST_F(DeviceTest, MaskPicksTheTypesWatched) {
  SteeredTest can;
  can.body = [](int64_t, void *) { return true; };
  sys_info info{};
  EventDevice device;
  ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, &info), ERR_NONE);
  ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 302, &device.owner), ERR_NONE);
  device.signal();
  dev_record record{};
  ASSERT_EQ(dev_data_read(DEV_TYPE_OWNER, &record, true), DEV_TYPE_OWNER);
  EXPECT_EQ(record.handle, 302);
  ASSERT_EQ(dev_data_read(DEV_TYPE_CAN, &record, true), DEV_TYPE_CAN);
  EXPECT_EQ(record.owner, &info);
}

// A device on a serial line becomes ready once it has sent a byte, as
// type 2 and as a type-1 owner of the serial kind.
TEST_F(DeviceTest, SerialDeviceThatSentAByteIsReady) {
  SimLink link(ferry::sim::make_quiet_sim());
  if (!link.start())
    GTEST_SKIP() << "no pseudo-terminals on this system";
  sio_port port{};
  ASSERT_EQ(sio_open(link.path().c_str(), &port), ERR_NONE);
  ASSERT_EQ(sio_init(&port, nullptr, 0), ERR_NONE);
  ASSERT_TRUE(link.attach(&port));
  const int64_t handle = port.port.handle;
  dev_owner serial_owner{DEV_COMM_SERIAL, nullptr, 0};
  for (int32_t type : {int32_t(DEV_TYPE_SERIAL), 4, 8, 16, int32_t(DEV_TYPE_OWNER)}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(dev_add_device(type, handle, type == DEV_TYPE_OWNER ? &serial_owner : nullptr),
              ERR_NONE);
    dev_record record{};
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
    link.chatter({0x5A}, 1, 0);
    ASSERT_TRUE(ferry::test::wait_for_input(link, &port, 1));
    ASSERT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), type);
    EXPECT_EQ(record.handle, handle);
    // The test only looks: the byte is still there for the owner.
    uint8_t byte = 0;
    uint32_t got = 0;
    ASSERT_EQ(sio_read_data(&port, &byte, 1, &got), 0);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
    ASSERT_EQ(dev_remove_device(handle), ERR_NONE);
  }
  // A closed port is never ready.
  ASSERT_EQ(dev_add_device(DEV_TYPE_SERIAL, handle, nullptr), ERR_NONE);
  ASSERT_EQ(sio_close(&port), ERR_NONE);
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
}

} // namespace
