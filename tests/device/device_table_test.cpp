// The device table: which types it takes, where a device goes, how it is
// refused, removed and ignored, and the messages of each failure.

#include "device_fixture.h"

#include "base/sys_info.h"
#include "motion/motion_wrapper.h"

namespace {

using ferry::test::DeviceTest;
using Texts = std::vector<std::string>;

std::vector<int64_t> handles_in_table() {
  std::vector<int64_t> handles;
  for (int i = 0; i < DEV_MAX_DEVICES; ++i) {
    dev_info entry{};
    EXPECT_TRUE(dev_get_entry(i, &entry));
    handles.push_back(entry.state == DEV_STATE_IN_USE ? entry.handle : -1);
  }
  return handles;
}

TEST_F(DeviceTest, ExactlySevenTypesAreValid) {
  for (int32_t type : {1, 2, 4, 8, 16, 32, 64})
    EXPECT_TRUE(dev_type_valid(type)) << type;
  EXPECT_EQ(messages.calls(), Texts{});
  for (int32_t type : {0, 3, 5, 128, 0xFFFF, -1, 0x10000}) {
    messages.clear();
    EXPECT_FALSE(dev_type_valid(type));
    EXPECT_EQ(messages.calls(),
              Texts{"dev_type_valid: dev_type=" + std::to_string(type) + " is invalid\n"});
  }
}

TEST_F(DeviceTest, DevicesTakeTheFirstFreeEntryUntilTheTableIsFull) {
  for (int64_t handle = 100; handle < 110; ++handle)
    ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, handle, nullptr), ERR_NONE);
  EXPECT_EQ(handles_in_table(),
            (std::vector<int64_t>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109}));
  EXPECT_EQ(messages.calls(), Texts{});

  EXPECT_EQ(dev_add_device(DEV_TYPE_NONE, 110, nullptr), ERR_DEV_CNTRL);
  EXPECT_EQ(messages.calls(),
            (Texts{"gl_DevInfo table is full", "dev_add_device failed: err=ERR_DEV_CNTRL\n"}));
  EXPECT_FALSE(dev_is_registered(110));

  // A freed entry is the first free one again; the rest stay where they are.
  ASSERT_EQ(dev_remove_device(103), ERR_NONE);
  ASSERT_EQ(dev_remove_device(101), ERR_NONE);
  ASSERT_EQ(dev_add_device(DEV_TYPE_SERIAL, 111, nullptr), ERR_NONE);
  EXPECT_EQ(handles_in_table(),
            (std::vector<int64_t>{100, 111, 102, -1, 104, 105, 106, 107, 108, 109}));
  dev_info entry{};
  ASSERT_TRUE(dev_get_entry(1, &entry));
  EXPECT_EQ(entry.event_state, DEV_EVENT_WATCHED);
  EXPECT_FALSE(dev_get_entry(DEV_MAX_DEVICES, &entry));
}

TEST_F(DeviceTest, RefusedDevicesLeaveTheTableAsItWas) {
  // The motion wrapper library is not bound in this program.
  ASSERT_FALSE(mc_mwi_is_bound());
  dev_owner no_kind{7, nullptr, 0};
  dev_owner no_event{DEV_COMM_EVENT, nullptr, 0};
  dev_owner motion{DEV_COMM_MWI, nullptr, 5};
  sys_info info{};
  const struct {
    const char *what;
    int32_t type;
    int64_t handle;
    void *owner;
    u_err_t expected;
    Texts messages;
  } cases[] = {
      {"invalid type",
       3,
       10,
       nullptr,
       ERR_DEV_CNTRL,
       {"dev_type_valid: dev_type=3 is invalid\n", "dev_add_device failed: err=ERR_DEV_CNTRL\n"}},
      {"free handle",
       DEV_TYPE_SERIAL,
       -1,
       nullptr,
       ERR_INVALID_PARAM,
       {"dev_add_device failed: err=ERR_INVALID_PARAM\n"}},
      {"type 1 without owner",
       DEV_TYPE_OWNER,
       10,
       nullptr,
       ERR_INVALID_PARAM,
       {"dev_add_device failed: err=ERR_INVALID_PARAM\n"}},
      {"unknown kind",
       DEV_TYPE_OWNER,
       10,
       &no_kind,
       ERR_MC_NOT_AVAIL,
       {"dev_add_device failed: err=ERR_MC_NOT_AVAIL\n"}},
      {"event kind without event",
       DEV_TYPE_OWNER,
       10,
       &no_event,
       ERR_INVALID_PARAM,
       {"dev_add_device failed: err=ERR_INVALID_PARAM\n"}},
      {"motion kind, library not bound",
       DEV_TYPE_OWNER,
       10,
       &motion,
       ERR_MC_NOT_AVAIL,
       {"dev_add_device failed: err=ERR_MC_NOT_AVAIL\n"}},
      {"CAN source, no CAN event test",
       DEV_TYPE_CAN,
       DEV_CAN_HANDLE,
       &info,
       ERR_DEV_CNTRL,
       {"dev_add_device failed: err=ERR_DEV_CNTRL\n"}},
  };
  ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, 1, nullptr), ERR_NONE);
  for (const auto &c : cases) {
    messages.clear();
    EXPECT_EQ(dev_add_device(c.type, c.handle, c.owner), c.expected) << c.what;
    EXPECT_EQ(messages.calls(), c.messages) << c.what;
    EXPECT_EQ(handles_in_table(), (std::vector<int64_t>{1, -1, -1, -1, -1, -1, -1, -1, -1, -1}))
        << c.what;
  }
}

TEST_F(DeviceTest, RemovalAndEventStateNameWhatIsWrong) {
  ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, 42, nullptr), ERR_NONE);
  const struct {
    const char *what;
    std::function<u_err_t()> op;
    u_err_t expected;
    const char *message;
  } cases[] = {
      {"remove -1", [] { return dev_remove_device(-1); }, ERR_INVALID_PARAM,
       "dev_remove_device failed: err=ERR_INVALID_PARAM\n"},
      {"remove unknown", [] { return dev_remove_device(43); }, ERR_PARAM_OUT_OF_RANGE,
       "dev_remove_device failed: err=ERR_PARAM_OUT_OF_RANGE\n"},
      {"state of -1", [] { return dev_set_event_state(-1, 0); }, ERR_INVALID_PARAM,
       "dev_set_event_state failed: err=ERR_INVALID_PARAM\n"},
      {"state 2", [] { return dev_set_event_state(42, 2); }, ERR_INVALID_PARAM,
       "dev_set_event_state failed: err=ERR_INVALID_PARAM\n"},
      {"state of unknown", [] { return dev_set_event_state(43, 1); }, ERR_PARAM_OUT_OF_RANGE,
       "dev_set_event_state failed: err=ERR_PARAM_OUT_OF_RANGE\n"},
  };
  for (const auto &c : cases) {
    messages.clear();
    EXPECT_EQ(c.op(), c.expected) << c.what;
    EXPECT_EQ(messages.calls(), Texts{c.message}) << c.what;
  }
  messages.clear();
  EXPECT_TRUE(dev_is_registered(42));
  EXPECT_FALSE(dev_is_registered(43));
  EXPECT_FALSE(dev_is_registered(-1));
  EXPECT_EQ(dev_set_event_state(42, DEV_EVENT_IGNORED), ERR_NONE);
  dev_info entry{};
  ASSERT_TRUE(dev_get_entry(0, &entry));
  EXPECT_EQ(entry.event_state, DEV_EVENT_IGNORED);
  EXPECT_EQ(dev_remove_device(42), ERR_NONE);
  EXPECT_FALSE(dev_is_registered(42));
  EXPECT_EQ(dev_remove_device(42), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(messages.calls(), Texts{"dev_remove_device failed: err=ERR_PARAM_OUT_OF_RANGE\n"});
}

TEST_F(DeviceTest, EveryOperationNeedsAnInitialisedTableAndAValidMask) {
  ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, 5, nullptr), ERR_NONE);
  dev_close_cntrl();
  messages.clear();
  dev_record record{};
  EXPECT_EQ(dev_add_device(DEV_TYPE_NONE, 6, nullptr), ERR_DEV_CNTRL);
  EXPECT_EQ(dev_remove_device(5), ERR_DEV_CNTRL);
  EXPECT_EQ(dev_set_event_state(5, 1), ERR_DEV_CNTRL);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), 0);
  EXPECT_EQ(messages.calls(), (Texts{"dev_add_device failed: err=ERR_DEV_CNTRL\n",
                                     "dev_remove_device failed: err=ERR_DEV_CNTRL\n",
                                     "dev_set_event_state failed: err=ERR_DEV_CNTRL\n",
                                     "dev_data_read: ERR_DEV_CNTRL\n"}));
  // Initialising again keeps what was registered (asking for it clears it).
  ASSERT_EQ(dev_init_cntrl(false), ERR_NONE);
  EXPECT_TRUE(dev_is_registered(5));
  // A mask that is no type is a set-up error too.
  messages.clear();
  EXPECT_EQ(dev_data_read(3, &record, false), 0);
  EXPECT_EQ(messages.calls(),
            (Texts{"dev_type_valid: dev_type=3 is invalid\n", "dev_data_read: ERR_DEV_CNTRL\n"}));
  ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
  EXPECT_FALSE(dev_is_registered(5));
}

} // namespace
