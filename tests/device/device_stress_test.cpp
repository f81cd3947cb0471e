// Many rounds of the real handshake: devices become ready at random moments,
// some just as a caller's cycle runs out, while another thread registers,
// removes and toggles devices of its own. Every signal is reported exactly
// once.

#include "device_fixture.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

namespace {

using ferry::test::AbortHook;
using ferry::test::DeviceTest;

std::atomic<bool> give_up{false};

int abort_when_given_up(int) {
  return give_up.load() ? 1 : 0;
}

constexpr int devices = 8;
constexpr int rounds = 10000;
constexpr int64_t first_handle = 1000;

struct Tally {
  // A device's signal that is not reported yet; the producer waits for a
  // free device when it has signalled them all.
  std::atomic<bool> outstanding[devices] = {};
  std::mutex lock;
  std::condition_variable freed;
  std::atomic<int> produced{0};
  std::atomic<int> reported{0};
  std::atomic<int> twice{0};
  std::atomic<int> strangers{0};
};

// A device whose last signal has been reported, starting the search at
// a random one; waits while there is none.
int free_device(Tally &tally, std::mt19937 &random) {
  const int start = int(random() % devices);
  std::unique_lock guard(tally.lock);
  int found = -1;
  tally.freed.wait_for(guard, std::chrono::milliseconds(100), [&] {
    for (int i = 0; i < devices && found < 0; ++i)
      if (!tally.outstanding[(start + i) % devices].load())
        found = (start + i) % devices;
    return found >= 0 || give_up.load();
  });
  return found;
}

bool any_outstanding(const Tally &tally) {
  for (const auto &flag : tally.outstanding)
    if (flag.load())
      return true;
  return false;
}

// Waits until a caller's cycle is under way and has found nothing, then
// until it ends: the next signal comes just at the cycle boundary.
void wait_for_cycle_boundary(const Tally &tally, plat_event *stop) {
  for (int spins = 0; spins < 100000 && any_outstanding(tally) && !give_up; ++spins)
    std::this_thread::yield();
  for (int spins = 0; spins < 100000 && plat_event_wait(stop, 0) == PLAT_WAIT_SIGNALLED && !give_up;
       ++spins)
    std::this_thread::yield();
  plat_event_wait(stop, 3 * DEV_CYCLE_MS);
}

TEST_F(DeviceTest, TenThousandReportsNoneLostNoneTwice) {
  EventDevice watched[devices];
  for (int i = 0; i < devices; ++i)
    ASSERT_EQ(dev_add_device(DEV_TYPE_OWNER, first_handle + i, &watched[i].owner), ERR_NONE);
  EventDevice never_signalled;
  plat_event *stop = plat_event_open("StopEvent");
  ASSERT_NE(stop, nullptr);
  give_up = false;
  AbortHook hook(abort_when_given_up);
  Tally tally;
  std::atomic<bool> done{false};

  std::thread producer([&] {
    std::mt19937 random(20240611);
    while (tally.produced.load() < rounds && !give_up) {
      const int k = free_device(tally, random);
      if (k < 0)
        continue;
      switch (random() % 16) {
      case 0:
        wait_for_cycle_boundary(tally, stop);
        break;
      case 1:
      case 2:
        std::this_thread::yield();
        break;
      default:
        break;
      }
      tally.outstanding[k] = true;
      tally.produced.fetch_add(1);
      watched[k].signal();
    }
  });

  std::thread reader([&] {
    while (tally.reported.load() < rounds && !give_up) {
      dev_record record{};
      const int32_t type = dev_data_read(DEV_TYPE_ALL, &record, true);
      if (type == DEV_NOTHING_READY)
        continue;
      const int64_t k = record.handle - first_handle;
      if (type != DEV_TYPE_OWNER || k < 0 || k >= devices || record.owner != &watched[k].owner) {
        tally.strangers.fetch_add(1);
        continue;
      }
      {
        std::lock_guard guard(tally.lock);
        if (!tally.outstanding[k].exchange(false))
          tally.twice.fetch_add(1);
      }
      tally.freed.notify_one();
      tally.reported.fetch_add(1);
    }
  });

  // Registers, toggles and removes two devices that never become ready,
  // in the entries beside the watched ones.
  std::thread churn([&] {
    while (!done) {
      EXPECT_EQ(dev_add_device(DEV_TYPE_NONE, 2000, nullptr), ERR_NONE);
      EXPECT_EQ(dev_add_device(DEV_TYPE_OWNER, 2001, &never_signalled.owner), ERR_NONE);
      EXPECT_EQ(dev_set_event_state(2001, DEV_EVENT_IGNORED), ERR_NONE);
      EXPECT_TRUE(dev_is_registered(2000));
      EXPECT_EQ(dev_set_event_state(2001, DEV_EVENT_WATCHED), ERR_NONE);
      EXPECT_EQ(dev_remove_device(2000), ERR_NONE);
      EXPECT_EQ(dev_remove_device(2001), ERR_NONE);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });

  // A lost report would keep the reader waiting: it is ended, and the
  // counts below tell.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (tally.reported.load() < rounds && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (tally.reported.load() < rounds)
    give_up = true;
  producer.join();
  reader.join();
  done = true;
  churn.join();
  plat_event_close(stop);

  EXPECT_EQ(tally.produced.load(), rounds);
  EXPECT_EQ(tally.reported.load(), rounds);
  EXPECT_EQ(tally.twice.load(), 0);
  EXPECT_EQ(tally.strangers.load(), 0);
  EXPECT_FALSE(any_outstanding(tally));
  dev_record record{};
  EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &record, false), DEV_NOTHING_READY);
  EXPECT_EQ(messages.calls(), std::vector<std::string>{});
}

} // namespace
