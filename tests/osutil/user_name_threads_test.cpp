#include <gtest/gtest.h>

#include <array>
#include <latch>
#include <string>
#include <thread>

#include "osutil/os_util.h"
#include "osutil/os_util_internal.h"

// Every round starts with the name unknown, so the threads race to ask the
// system for it and to read the store while it is being filled.
TEST(UserName, ThreadsThatAskFirstTogetherAllGetTheName) {
  const char *first = u_user_name(nullptr, 0);
  ASSERT_NE(first, nullptr);
  const std::string expected = first;
  constexpr int kRounds = 100;
  constexpr int kThreads = 4;
  for (int round = 0; round < kRounds; ++round) {
    u_user_name_forget();
    std::latch start(kThreads);
    std::array<std::string, kThreads> kept, copied;
    std::array<std::thread, kThreads> threads;
    for (int t = 0; t < kThreads; ++t)
      threads[t] = std::thread([&, t] {
        start.arrive_and_wait();
        const char *name = u_user_name(nullptr, 0);
        char buffer[300];
        const char *copy = u_user_name(buffer, sizeof buffer);
        kept[t] = name ? name : "(null)";
        copied[t] = copy ? copy : "(null)";
      });
    for (auto &thread : threads)
      thread.join();
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_EQ(kept[t], expected) << "round " << round;
      ASSERT_EQ(copied[t], expected) << "round " << round;
    }
  }
}
