#pragma once
// What the device control tests share: a fresh table at every test, time
// scaled down, messages captured, and a readiness test that a test steers
// through the CAN slot.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/hooks.h"
#include "device/dev_cntrl.h"
#include "device/dev_cntrl_internal.h"
#include "support/serial_sim_link.h"
#include "support/test_support.h"

namespace ferry::test {

// A readiness test run on the worker, installed as the CAN event test: the
// test body decides, and may block the worker.
class SteeredTest {
public:
  SteeredTest() {
    current() = this;
    dev_set_can_event_test(&SteeredTest::run);
  }
  ~SteeredTest() {
    dev_set_can_event_test(nullptr);
    current() = nullptr;
  }
  SteeredTest(const SteeredTest &) = delete;
  SteeredTest &operator=(const SteeredTest &) = delete;

  // Set before the test is registered; runs on the worker.
  std::function<bool(int64_t handle, void *owner)> body;
  std::atomic<int> calls{0};

private:
  static SteeredTest *&current() {
    static SteeredTest *test = nullptr;
    return test;
  }
  static bool run(int64_t handle, void *owner) {
    SteeredTest *test = current();
    test->calls.fetch_add(1);
    return test->body ? test->body(handle, owner) : false;
  }
};

// A signal from one thread to others: once set, every wait returns.
class Latch {
public:
  void set() {
    std::lock_guard guard(lock_);
    set_ = true;
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return set_; });
  }

private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool set_ = false;
};

// A gate a blocked readiness test waits at until the test opens it; the
// readiness test tells the test that it has arrived there.
class Gate {
public:
  void open() { opened_.set(); }
  void wait() { opened_.wait(); }
  void arrive() { arrived_.set(); }
  void wait_arrived() { arrived_.wait(); }

private:
  Latch opened_, arrived_;
};

// A waiting read of every device type on a thread of its own; join() gives
// what the read returned. Joined before it goes, as a std::thread must be.
class ReadOnThread {
public:
  ReadOnThread()
      : thread_([this] {
          dev_record record{};
          result_ = dev_data_read(DEV_TYPE_ALL, &record, true);
        }) {}
  int32_t join() {
    thread_.join();
    return result_.load();
  }

private:
  std::atomic<int32_t> result_{-1};
  std::thread thread_; // after the result, which it writes
};

// Puts the abort hook back at the end of a test.
class AbortHook {
public:
  explicit AbortHook(u_abort_fn hook) { u_abort_hook = hook; }
  ~AbortHook() { u_abort_hook = u_abort_never; }
  AbortHook(const AbortHook &) = delete;
  AbortHook &operator=(const AbortHook &) = delete;
};

class DeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(dev_init_cntrl(true), ERR_NONE);
    messages.clear();
  }
  void TearDown() override { EXPECT_EQ(dev_init_cntrl(true), ERR_NONE); }

  // An owner-event device of handle; its event is signalled by the test.
  struct EventDevice {
    EventDevice() : event(plat_event_create(nullptr, true, false, nullptr)) {
      owner.comm = DEV_COMM_EVENT;
      owner.event = event;
    }
    ~EventDevice() { plat_event_close(event); }
    EventDevice(const EventDevice &) = delete;
    EventDevice &operator=(const EventDevice &) = delete;
    void signal() { plat_event_set(event); }
    plat_event *event;
    dev_owner owner{};
  };

  ScaledTime time{0.01};
  MessageCapture messages;
};

} // namespace ferry::test
