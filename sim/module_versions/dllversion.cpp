// A library without a version of its own file, which answers DllGetVersion
// as the test sets it to.

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#define SIM_CALL __stdcall
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#define SIM_CALL
#endif

namespace {

// What DllGetVersion answers.
enum Answer : int32_t { kFullVersion = 0, kThreePartVersion = 1, kFailure = 2 };
int32_t answer = kFullVersion;

constexpr uint32_t kRecordBytes = 32;
constexpr int32_t kInvalidArgument = static_cast<int32_t>(0x80070057u);
constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);

void put32(uint8_t *record, int offset, uint32_t value) {
  std::memcpy(record + offset, &value, sizeof value);
}

// The caller must hand over a cleared record that states its size.
bool record_as_expected(const uint8_t *record) {
  uint32_t size = 0;
  std::memcpy(&size, record, sizeof size);
  if (size != kRecordBytes)
    return false;
  for (uint32_t i = sizeof size; i < kRecordBytes; ++i)
    if (record[i] != 0)
      return false;
  return true;
}

} // namespace

SIM_EXPORT void ferry_sim_set_dll_version_answer(int32_t which) {
  answer = which;
}

// The record: size, major, minor, build, platform, flags, 64-bit version.
SIM_EXPORT int32_t SIM_CALL DllGetVersion(void *info) {
  auto *record = static_cast<uint8_t *>(info);
  if (!record || !record_as_expected(record))
    return kInvalidArgument;
  put32(record, 4, 4);
  put32(record, 8, 5);
  put32(record, 12, 6);
  put32(record, 16, 2);
  if (answer == kFailure)
    return kFail;
  uint64_t full = answer == kFullVersion ? 0x0007000800090000ull | 10u : 0;
  std::memcpy(record + 24, &full, sizeof full);
  return 0;
}
