// The event queues under load from three threads at once: the bridge
// library's thread delivering PDOs and emergencies, the motion library's
// handlers on a thread of their own, the pump on the device worker's side,
// and the host taking entries, with the handlers registered and freed again
// in between. Run under the thread sanitizer.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "can_fixture.h"

namespace ferry::test {
namespace {

// Waits for a condition the other threads will make true; the bound only
// keeps a lost entry from hanging the suite.
bool eventually(const std::function<bool()> &condition) {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up)
      return false;
    std::this_thread::yield();
  }
  return true;
}

class EventThreads : public CanTest {
protected:
  void SetUp() override {
    CanTest::SetUp();
    connect();
    // Wands only: every PDO of a wand key is one decoded event.
    instr.sys_type = 26;
    before_ = drops();
  }

  void TearDown() override {
    stop_pump_ = stop_host_ = true;
    if (pump_.joinable())
      pump_.join();
    if (host_.joinable())
      host_.join();
    CanTest::TearDown();
  }

  static can_events_drops drops() {
    can_events_drops d{};
    can_events_dropped(&d);
    return d;
  }

  // Runs the pump until told to stop, as the device worker does.
  void start_pump() {
    pump_ = std::thread([this] {
      while (!stop_pump_.load())
        can_process_events(&instr);
    });
  }

  void stop_pump() {
    stop_pump_ = true;
    pump_.join();
    can_process_events(&instr);
  }

  // Takes entries as the host does, until told to stop and both lists
  // are empty.
  void start_host() {
    host_ = std::thread([this] {
      for (;;) {
        can_decoded_event decoded;
        can_event_entry event;
        bool took = false;
        while (can_decoded_event_take(&decoded)) {
          ++taken_decoded_;
          took = true;
        }
        while (can_event_take(&event)) {
          ++taken_events_;
          took = true;
        }
        if (!took && stop_host_.load())
          break;
        if (!took)
          std::this_thread::yield();
      }
    });
  }

  void stop_host() {
    stop_host_ = true;
    host_.join();
  }

  can_events_drops before_{};
  std::thread pump_, host_;
  std::atomic<bool> stop_pump_{false}, stop_host_{false};
  std::atomic<uint64_t> taken_decoded_{0}, taken_events_{0};
};

TEST_F(EventThreads, NothingIsLostBelowTheRoomWhileHandlersComeAndGo) {
  constexpr uint64_t kBridgePdos = FERRY_CAN_STRESS_PDOS;
  constexpr uint64_t kChunk = 500;
  // Entries produced but not yet taken stay below kWindow + kChunk, well
  // below the room of every list.
  constexpr uint64_t kWindow = 2000;
  constexpr uint64_t kMotionPdos = kBridgePdos / 5;
  constexpr uint64_t kEmergencies = kBridgePdos / 50;
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  start_pump();
  start_host();
  std::atomic<uint64_t> produced{0};
  std::thread motion([&] {
    const uint8_t key3[8] = {3};
    for (uint64_t i = 0; i < kMotionPdos; ++i) {
      // The motion library's thread keeps within the window as well.
      if (!eventually([&] { return produced.load() < taken_decoded_.load() + kWindow; }))
        return;
      mc_pdo_handler(0x1C9, static_cast<uint32_t>(i), key3);
      ++produced;
    }
  });

  const uint8_t key1[8] = {1};
  const uint8_t emcy[12] = {0xE};
  uint64_t queued = 0, emergencies = 0;
  for (int round = 0; queued < kBridgePdos; ++round) {
    for (uint64_t i = 0; i < kChunk; ++i)
      sim->queue_pdo(0x1C8, key1);
    queued += kChunk;
    produced += kChunk;
    if (emergencies < kEmergencies) {
      sim->queue_emcy(static_cast<uint32_t>(emergencies), 0, emcy, 1);
      ++emergencies;
    }
    // Every tenth round the host unregisters, frees and registers again,
    // while the motion thread goes on appending.
    if (round % 10 == 9) {
      EXPECT_EQ(can_register_events(&instr, false), ERR_NONE);
      can_events_free_resources();
      EXPECT_EQ(can_register_events(&instr, true), ERR_NONE);
    }
    if (!eventually([&] { return produced.load() <= taken_decoded_.load() + kWindow; })) {
      ADD_FAILURE() << "entries lost after " << queued << " PDOs";
      break;
    }
  }
  EXPECT_EQ(sim->flush(60000), 1);
  motion.join();
  EXPECT_TRUE(eventually([&] { return taken_decoded_.load() >= kBridgePdos + kMotionPdos; }));
  EXPECT_TRUE(eventually([&] { return taken_events_.load() >= emergencies; }));
  stop_pump();
  stop_host();
  can_register_events(&instr, false);

  can_events_drops after = drops();
  EXPECT_EQ(after.pdo_queue, before_.pdo_queue);
  EXPECT_EQ(after.emcy_queue, before_.emcy_queue);
  EXPECT_EQ(after.event_list, before_.event_list);
  EXPECT_EQ(after.decoded_list, before_.decoded_list);
  EXPECT_EQ(taken_decoded_.load(), kBridgePdos + kMotionPdos);
  EXPECT_EQ(taken_events_.load(), emergencies);
  EXPECT_EQ(sim->call_count("CAN_GetPDO"), kBridgePdos);
}

TEST_F(EventThreads, WhatExceedsTheRoomIsCountedExactly) {
  constexpr uint32_t kPdos = 6000;
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  start_pump();
  const uint8_t key2[8] = {2};
  for (uint32_t i = 0; i < kPdos; ++i)
    sim->queue_pdo(0x1C8, key2);
  ASSERT_EQ(sim->flush(60000), 1);
  stop_pump();
  can_register_events(&instr, false);
  uint32_t decoded = 0;
  can_events_pending(nullptr, &decoded);
  EXPECT_EQ(decoded, uint32_t{CAN_DECODED_LIST_ROOM});
  EXPECT_EQ(drops().decoded_list - before_.decoded_list, kPdos - CAN_DECODED_LIST_ROOM);
  EXPECT_EQ(drops().pdo_queue, before_.pdo_queue);
  EXPECT_EQ(messages.calls(), std::vector<std::string>{
                                  "CAN decoded-event list full (4096 entries): entries dropped\n"});
}

TEST_F(EventThreads, PumpAndHostTakeTurnsUnderTheEventLock) {
  // Two pumps (the device worker and a waiting operation) and a host, all
  // on the same lists, while the library's thread delivers.
  constexpr uint64_t kPdos = FERRY_CAN_STRESS_PDOS / 5;
  ASSERT_EQ(can_register_events(&instr, true), ERR_NONE);
  start_pump();
  start_host();
  std::atomic<bool> stop_second{false};
  std::thread second_pump([&] {
    while (!stop_second.load())
      can_process_events(&instr);
  });
  const uint8_t key1[8] = {1};
  for (uint64_t i = 0; i < kPdos; ++i) {
    sim->queue_pdo(0x1C8, key1);
    if (!eventually([&] { return i + 1 <= taken_decoded_.load() + 1000; })) {
      ADD_FAILURE() << "entries lost after " << i << " PDOs";
      break;
    }
  }
  EXPECT_EQ(sim->flush(60000), 1);
  EXPECT_TRUE(eventually([&] { return taken_decoded_.load() >= kPdos; }));
  stop_second = true;
  second_pump.join();
  stop_pump();
  stop_host();
  can_register_events(&instr, false);
  EXPECT_EQ(taken_decoded_.load(), kPdos);
  EXPECT_EQ(drops().decoded_list, before_.decoded_list);
}

} // namespace
} // namespace ferry::test
