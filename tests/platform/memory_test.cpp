// The memory facility's hints never change what the buffer holds: the
// filling thread's bytes are there afterwards, wherever the readying was.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/memory.h"

namespace {

TEST(PlatformMemory, ReadyingALargeBufferLeavesItsFillingAlone) {
  const size_t count = size_t{48} << 20 >> 2; // 48 MiB of 32-bit samples
  for (bool from_end : {true, false}) {
    SCOPED_TRACE(from_end ? "filled from the end" : "filled from the start");
    auto *samples = static_cast<uint32_t *>(std::malloc(count * sizeof(uint32_t)));
    ASSERT_NE(samples, nullptr);
    plat_advise_large_buffer(samples, count * sizeof(uint32_t));
    {
      ferry::BufferWarming warming(
          plat_warm_large_buffer(samples, count * sizeof(uint32_t), from_end));
      for (size_t k = 0; k < count; ++k) {
        size_t i = from_end ? count - 1 - k : k;
        samples[i] = static_cast<uint32_t>(i * 2654435761u);
      }
    }
    size_t wrong = 0;
    for (size_t i = 0; i < count; ++i)
      wrong += samples[i] != static_cast<uint32_t>(i * 2654435761u);
    EXPECT_EQ(wrong, 0u);
    std::free(samples);
  }
}

TEST(PlatformMemory, SmallOrMissingBuffersAreNotReadied) {
  std::vector<char> small(4096);
  EXPECT_EQ(plat_warm_large_buffer(small.data(), small.size(), false), nullptr);
  EXPECT_EQ(plat_warm_large_buffer(nullptr, size_t{1} << 30, false), nullptr);
  plat_warm_finish(nullptr);
}

} // namespace
