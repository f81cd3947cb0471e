// The caller's side of the handshake with the worker: a device found at the
// cycle boundary, waits that have nothing to wait for, the abort hook, a
// worker that does not come back, a second caller, removal under a running
// test, and the worker's life from dev_init_cntrl to dev_close_cntrl.

#include "device_fixture.h"

#include <thread>

#include "base/sys_info.h"
#include "platform/sync.h"

namespace {

using ferry::test::AbortHook;
using ferry::test::DeviceTest;
using ferry::test::Gate;
using ferry::test::ReadOnThread;
using ferry::test::SteeredTest;
using Texts = std::vector<std::string>;

std::atomic<int> abort_calls{0};
std::atomic<int> abort_at{0};

// Asked once per cycle; says stop at call abort_at.
int counting_abort(int) {
  return abort_calls.fetch_add(1) + 1 >= abort_at.load() ? 1 : 0;
}

void count_aborts_until(int call) {
  abort_calls = 0;
  abort_at = call;
}

// Blocks the worker until the caller's wait for "DoneEvent1" has run out
// and it has signalled "StopEvent": the device is found at that moment.
bool ready_after_the_callers_wait(plat_event *stop) {
  return plat_event_wait(stop, PLAT_WAIT_FOREVER) == PLAT_WAIT_SIGNALLED;
}

TEST_F(DeviceTest, DeviceFoundAfterTheCycleRanOutIsStillReported) {
  plat_event *stop = plat_event_open("StopEvent");
  ASSERT_NE(stop, nullptr);
  AbortHook hook(counting_abort);
  SteeredTest can;
  sys_info info{};
  ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, &info), ERR_NONE);
  for (bool wait : {true, false}) {
    SCOPED_TRACE(wait);
    // Ready once only: a report lost here would never come again.
    can.calls = 0;
    can.body = [&](int64_t, void *) {
      return can.calls.load() == 1 && ready_after_the_callers_wait(stop);
    };
    count_aborts_until(3);
    dev_record record{};
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, wait), DEV_TYPE_CAN);
    EXPECT_EQ(record.handle, DEV_CAN_HANDLE);
  }
  plat_event_close(stop);
}

TEST_F(DeviceTest, WaitingReadWithNothingToWatchEnds) {
  AbortHook hook(counting_abort);
  EventDevice device;
  const struct {
    const char *what;
    std::function<void()> set_up;
    int32_t mask;
  } cases[] = {
      {"empty table", [] {}, DEV_TYPE_ALL},
      {"only type 32", [] { ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, 1, nullptr), ERR_NONE); },
       DEV_TYPE_ALL},
      {"nothing watched",
       [&] {
         ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 2, &device.owner), ERR_NONE);
         ASSERT_EQ(dev_set_event_state(2, DEV_EVENT_IGNORED), ERR_NONE);
       },
       DEV_TYPE_ALL},
      {"mask matching nothing",
       [&] { ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 3, &device.owner), ERR_NONE); }, 4},
      {"mask of type 32", [] { ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, 4, nullptr), ERR_NONE); },
       DEV_TYPE_NONE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
    c.set_up();
    // A read that loops would be ended by the hook at its 100th cycle.
    count_aborts_until(100);
    dev_record record{};
    EXPECT_EQ(dev_data_read(c.mask, &record, true), DEV_NOTHING_READY);
    EXPECT_EQ(abort_calls.load(), 0);
  }
}

TEST_F(DeviceTest, AbortHookIsAskedOncePerCycleAndEndsTheWait) {
  EventDevice device;
  ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 5, &device.owner), ERR_NONE);
  AbortHook hook(counting_abort);
  count_aborts_until(3);
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_NOTHING_READY);
  EXPECT_EQ(abort_calls.load(), 3);
  // A read that does not wait never asks.
  count_aborts_until(1);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
  EXPECT_EQ(abort_calls.load(), 0);
}

TEST_F(DeviceTest, WorkerThatDoesNotComeBackIsASetUpErrorNotAHang) {
  ferry::test::ScaledTime fast(0.002);
  AbortHook hook(counting_abort);
  SteeredTest can;
  Gate gate;
  // The first test hangs until the gate opens and then finds the device
  // ready; no later test does.
  can.body = [&](int64_t, void *) {
    gate.wait();
    return can.calls.load() == 1;
  };
  sys_info info{};
  ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, &info), ERR_NONE);
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), 0);
  EXPECT_EQ(messages.calls(), Texts{"dev_data_read: ERR_DEV_CNTRL\n"});
  // Its device cannot be taken away while its test runs.
  messages.clear();
  EXPECT_EQ(dev_remove_device(DEV_CAN_HANDLE), ERR_DEV_CNTRL);
  EXPECT_EQ(messages.calls(), Texts{"dev_remove_device failed: err=ERR_DEV_CNTRL\n"});
  EXPECT_TRUE(dev_is_registered(DEV_CAN_HANDLE));
  // What the late test found goes to the next caller.
  gate.open();
  count_aborts_until(5);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_CAN);
  EXPECT_EQ(record.handle, DEV_CAN_HANDLE);
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
}

TEST_F(DeviceTest, SecondConcurrentCallerGetsTheSetUpError) {
  SteeredTest can;
  Gate gate;
  can.body = [&](int64_t, void *) {
    gate.arrive();
    gate.wait();
    return true;
  };
  sys_info info{};
  ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, &info), ERR_NONE);
  ReadOnThread first;
  gate.wait_arrived();
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), 0);
  EXPECT_EQ(messages.calls(), Texts{"dev_data_read: ERR_DEV_CNTRL\n"});
  gate.open();
  EXPECT_EQ(first.join(), DEV_TYPE_CAN);
}

// The owner of a removed device may go at once: removal waits for its test.
TEST_F(DeviceTest, RemovalWaitsForTheDevicesRunningTest) {
  for (int round = 0; round < 20; ++round) {
    SteeredTest can;
    Gate gate;
    auto *owner = new sys_info{};
    owner->sys_type = 77;
    std::atomic<bool> test_returned{false};
    can.body = [&](int64_t, void *seen) {
      gate.arrive();
      gate.wait();
      // Reads the owner after the remover has been let go.
      const bool ready = static_cast<sys_info *>(seen)->sys_type == 77;
      test_returned = true;
      return ready;
    };
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, owner), ERR_NONE);
    ReadOnThread caller;
    gate.wait_arrived();
    std::thread remover([&] {
      EXPECT_EQ(dev_remove_device(DEV_CAN_HANDLE), ERR_NONE);
      EXPECT_TRUE(test_returned.load());
      delete owner;
    });
    gate.open();
    remover.join();
    const int32_t result = caller.join();
    // Reported if the caller took the report before the device went.
    EXPECT_TRUE(result == DEV_NOTHING_READY || result == DEV_TYPE_CAN) << result;
  }
}

TEST_F(DeviceTest, CloseJoinsTheWorkerAndInitStartsExactlyOne) {
  using ferry::device::live_workers;
  ASSERT_EQ(live_workers(), 1);
  EventDevice device;
  ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, 9, &device.owner), ERR_NONE);
  for (int round = 0; round < 50; ++round) {
    dev_close_cntrl();
    ASSERT_EQ(live_workers(), 0);
    dev_close_cntrl();
    ASSERT_EQ(dev_init_cntrl(false), ERR_NONE);
    ASSERT_EQ(dev_init_cntrl(false), ERR_NONE);
    ASSERT_EQ(live_workers(), 1);
    device.signal();
    dev_record record{};
    ASSERT_EQ(dev_data_read(DEV_TYPE_ALL, &record, true), DEV_TYPE_OWNER);
  }
  EXPECT_EQ(messages.calls(), Texts{});
}

TEST_F(DeviceTest, FailedInitialisationLeavesTheTableUninitialised) {
  ASSERT_EQ(dev_add_device(DEV_TYPE_NONE, 12, nullptr), ERR_NONE);
  dev_close_cntrl();
  {
    // The worker's record is the one block the table takes.
    ferry::test::FailingAllocator allocator;
    allocator.fail_at(1, true);
    messages.clear();
    EXPECT_EQ(dev_init_cntrl(false), ERR_DEV_CNTRL);
    EXPECT_EQ(allocator.live_blocks(), 0);
  }
  EXPECT_EQ(ferry::device::live_workers(), 0);
  EXPECT_EQ(dev_add_device(DEV_TYPE_NONE, 13, nullptr), ERR_DEV_CNTRL);
  EXPECT_EQ(messages.calls(), (Texts{"dev_init_cntrl failed: ERR_DEV_CNTRL\n",
                                     "dev_add_device failed: err=ERR_DEV_CNTRL\n"}));
  ASSERT_EQ(dev_init_cntrl(false), ERR_NONE);
  EXPECT_TRUE(dev_is_registered(12));
}

TEST_F(DeviceTest, CloseEndsAWaitingReadFirst) {
  SteeredTest can;
  sys_info info{};
  ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, DEV_CAN_HANDLE, &info), ERR_NONE);
  for (int round = 0; round < 50; ++round) {
    // The worker's first test of the read tells that the read is under way.
    Gate gate;
    can.body = [&](int64_t, void *) {
      gate.arrive();
      return false;
    };
    ReadOnThread caller;
    gate.wait_arrived();
    dev_close_cntrl();
    EXPECT_EQ(caller.join(), DEV_NOTHING_READY);
    ASSERT_EQ(ferry::device::live_workers(), 0);
    can.body = nullptr;
    ASSERT_EQ(dev_init_cntrl(false), ERR_NONE);
  }
  EXPECT_EQ(messages.calls(), Texts{});
}

void read_for_ever(void *) {
  dev_record record{};
  dev_data_read(DEV_TYPE_ALL, &record, true);
}

TEST_F(DeviceTest, ProcessEndsWithAWorkerAndAReaderStillRunning) {
#if GTEST_HAS_DEATH_TEST
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        EventDevice device;
        dev_add_device(DEV_TYPE_OWNER, 11, &device.owner);
        plat_thread_start(read_for_ever, nullptr);
        plat_sleep_ms(20);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
#else
  GTEST_SKIP() << "no death tests on this system";
#endif
}

} // namespace
