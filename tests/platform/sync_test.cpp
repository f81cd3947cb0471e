#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "platform/clock.h"
#include "platform/sync.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

// A name no other run of the tests uses at the same time.
std::string unique_name(const char *what) {
  static std::random_device random;
  return std::string("ferry-sync-test-") + what + "-" + std::to_string(random());
}

} // namespace

TEST(PlatformSync, EventsFollowTheirResetKind) {
  // Steps: 's' set, 'r' reset, '+' a wait that must find it signalled,
  // '-' a wait that must time out.
  const struct {
    bool manual, signalled;
    const char *steps;
  } cases[] = {
      {true, false, "-s++r-s+"}, {true, true, "++r-"},  {false, false, "-s+-ss+-"},
      {false, true, "+-s+-"},    {false, true, "r-s+"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.manual ? "manual " : "auto ") + c.steps);
    plat_event *event = plat_event_create(nullptr, c.manual, c.signalled, nullptr);
    ASSERT_NE(event, nullptr);
    for (const char *step = c.steps; *step; ++step) {
      switch (*step) {
      case 's':
        EXPECT_TRUE(plat_event_set(event));
        break;
      case 'r':
        EXPECT_TRUE(plat_event_reset(event));
        break;
      default:
        EXPECT_EQ(plat_event_wait(event, 0), *step == '+' ? PLAT_WAIT_SIGNALLED : PLAT_WAIT_TIMEOUT)
            << "step " << step - c.steps;
      }
    }
    plat_event_close(event);
  }
}

TEST(PlatformSync, MissingObjectsAreRefused) {
  EXPECT_FALSE(plat_event_set(nullptr));
  EXPECT_FALSE(plat_event_reset(nullptr));
  EXPECT_EQ(plat_event_wait(nullptr, 0), PLAT_WAIT_FAILED);
  plat_event_close(nullptr);
  EXPECT_EQ(plat_event_open(nullptr), nullptr);
  EXPECT_EQ(plat_thread_start(nullptr, nullptr), nullptr);
  EXPECT_FALSE(plat_thread_join(nullptr));
  EXPECT_EQ(plat_machine_lock_open(nullptr), nullptr);
  EXPECT_EQ(plat_machine_lock_open(""), nullptr);
  EXPECT_EQ(plat_machine_lock_acquire(nullptr, 0), PLAT_WAIT_FAILED);
  EXPECT_FALSE(plat_machine_lock_release(nullptr));
  plat_machine_lock_close(nullptr);
}

TEST(PlatformSync, NamedEventsAreOneObjectUntilTheLastCloses) {
  std::string name = unique_name("event");
  bool existed = true;
  plat_event *first = plat_event_create(name.c_str(), true, false, &existed);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(existed);
  // Found again by name; the flags of a later creation do not count.
  plat_event *second = plat_event_create(name.c_str(), false, true, &existed);
  EXPECT_EQ(second, first);
  EXPECT_TRUE(existed);
  plat_event *opened = plat_event_open(name.c_str());
  EXPECT_EQ(opened, first);
  EXPECT_EQ(plat_event_open((name + "-other").c_str()), nullptr);

  EXPECT_EQ(plat_event_wait(second, 0), PLAT_WAIT_TIMEOUT);
  plat_event_set(opened);
  EXPECT_EQ(plat_event_wait(first, 0), PLAT_WAIT_SIGNALLED);
  EXPECT_EQ(plat_event_wait(second, 0), PLAT_WAIT_SIGNALLED); // still manual reset

  plat_event_close(first);
  plat_event_close(second);
  EXPECT_EQ(plat_event_wait(opened, 0), PLAT_WAIT_SIGNALLED); // one reference left
  plat_event_close(opened);
  EXPECT_EQ(plat_event_open(name.c_str()), nullptr);

  // A new creation of the name is a new object with its own flags.
  plat_event *fresh = plat_event_create(name.c_str(), false, true, &existed);
  EXPECT_FALSE(existed);
  EXPECT_EQ(plat_event_wait(fresh, 0), PLAT_WAIT_SIGNALLED);
  EXPECT_EQ(plat_event_wait(fresh, 0), PLAT_WAIT_TIMEOUT);
  plat_event_close(fresh);
}

TEST(PlatformSync, TimedWaitsAreScaledAndUnlimitedWaitsEndWhenSet) {
  ScaledTime time(0.0001);
  plat_event *event = plat_event_create(nullptr, true, false, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plat_event_wait(event, 120000), PLAT_WAIT_TIMEOUT);
  // Two minutes unscaled; twelve milliseconds scaled.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

  plat_thread *setter =
      plat_thread_start([](void *e) { plat_event_set(static_cast<plat_event *>(e)); }, event);
  ASSERT_NE(setter, nullptr);
  EXPECT_EQ(plat_event_wait(event, PLAT_WAIT_FOREVER), PLAT_WAIT_SIGNALLED);
  EXPECT_TRUE(plat_thread_join(setter));
  plat_event_close(event);
}

// Two threads hand a plain counter back and forth through a pair of
// events; the thread sanitizer checks that each hand-over orders the
// accesses, and the counter that none is lost.
TEST(PlatformSync, TwoThreadHandshakeOverManyRounds) {
  constexpr int kRounds = 10000;
  for (bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    struct Shared {
      bool manual;
      plat_event *ping, *pong;
      long counter = 0;
      int failures = 0;
    } shared{manual, plat_event_create(nullptr, manual, false, nullptr),
             plat_event_create(nullptr, manual, false, nullptr)};
    ASSERT_TRUE(shared.ping && shared.pong);
    plat_thread *peer = plat_thread_start(
        [](void *arg) {
          auto *s = static_cast<Shared *>(arg);
          for (int i = 0; i < kRounds; ++i) {
            if (plat_event_wait(s->ping, PLAT_WAIT_FOREVER) != PLAT_WAIT_SIGNALLED)
              ++s->failures;
            if (s->manual)
              plat_event_reset(s->ping);
            ++s->counter;
            plat_event_set(s->pong);
          }
        },
        &shared);
    ASSERT_NE(peer, nullptr);
    // A failed round is counted, not left: the peer must run to its end.
    int wrong_rounds = 0;
    for (int i = 0; i < kRounds; ++i) {
      ++shared.counter;
      plat_event_set(shared.ping);
      if (plat_event_wait(shared.pong, PLAT_WAIT_FOREVER) != PLAT_WAIT_SIGNALLED)
        ++wrong_rounds;
      if (manual)
        plat_event_reset(shared.pong);
      if (shared.counter != 2L * (i + 1))
        ++wrong_rounds;
    }
    EXPECT_EQ(wrong_rounds, 0);
    EXPECT_TRUE(plat_thread_join(peer));
    EXPECT_EQ(shared.failures, 0);
    plat_event_close(shared.ping);
    plat_event_close(shared.pong);
  }
}

TEST(PlatformSync, MachineLockHasOneOwnerAmongOpenings) {
  ScaledTime time(0.01);
  TempDir folder;
  ScopedEnv lock_dir("FERRY_LOCK_DIR", folder.path().string().c_str());
  std::string name = unique_name("lock");
  plat_machine_lock *a = plat_machine_lock_open(name.c_str());
  plat_machine_lock *b = plat_machine_lock_open(name.c_str());
  ASSERT_TRUE(a && b);

  EXPECT_EQ(plat_machine_lock_acquire(a, 0), PLAT_WAIT_SIGNALLED);
  EXPECT_EQ(plat_machine_lock_acquire(b, 500), PLAT_WAIT_TIMEOUT);
  EXPECT_EQ(plat_machine_lock_acquire(a, 500), PLAT_WAIT_TIMEOUT); // not recursive
  EXPECT_FALSE(plat_machine_lock_release(b));                      // not b's to give
  EXPECT_TRUE(plat_machine_lock_release(a));
  EXPECT_FALSE(plat_machine_lock_release(a));

  EXPECT_EQ(plat_machine_lock_acquire(b, 0), PLAT_WAIT_SIGNALLED);
  plat_machine_lock_close(b); // closing gives it up
  EXPECT_EQ(plat_machine_lock_acquire(a, 0), PLAT_WAIT_SIGNALLED);
  plat_machine_lock_close(a);
}

// One thread takes the lock, the other gives it back and takes it through
// its own opening, round after round.
TEST(PlatformSync, MachineLockIsReleasedByAnyThread) {
  TempDir folder;
  ScopedEnv lock_dir("FERRY_LOCK_DIR", folder.path().string().c_str());
  std::string name = unique_name("handover");
  constexpr int kRounds = 200;
  struct Shared {
    plat_machine_lock *mine, *theirs;
    plat_event *taken, *handed_back;
    int failures = 0;
  } shared{plat_machine_lock_open(name.c_str()), plat_machine_lock_open(name.c_str()),
           plat_event_create(nullptr, false, false, nullptr),
           plat_event_create(nullptr, false, false, nullptr)};
  ASSERT_TRUE(shared.mine && shared.theirs && shared.taken && shared.handed_back);
  plat_thread *peer = plat_thread_start(
      [](void *arg) {
        auto *s = static_cast<Shared *>(arg);
        for (int i = 0; i < kRounds; ++i) {
          plat_event_wait(s->taken, PLAT_WAIT_FOREVER);
          // Given back here, though taken on the other thread.
          if (!plat_machine_lock_release(s->mine))
            ++s->failures;
          if (plat_machine_lock_acquire(s->theirs, 0) != PLAT_WAIT_SIGNALLED ||
              !plat_machine_lock_release(s->theirs))
            ++s->failures;
          plat_event_set(s->handed_back);
        }
      },
      &shared);
  ASSERT_NE(peer, nullptr);
  int refused = 0;
  for (int i = 0; i < kRounds; ++i) {
    if (plat_machine_lock_acquire(shared.mine, 0) != PLAT_WAIT_SIGNALLED)
      ++refused;
    plat_event_set(shared.taken);
    plat_event_wait(shared.handed_back, PLAT_WAIT_FOREVER);
  }
  EXPECT_EQ(refused, 0);
  EXPECT_TRUE(plat_thread_join(peer));
  EXPECT_EQ(shared.failures, 0);
  plat_machine_lock_close(shared.mine);
  plat_machine_lock_close(shared.theirs);
  plat_event_close(shared.taken);
  plat_event_close(shared.handed_back);
}
