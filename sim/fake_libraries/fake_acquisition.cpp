// A stand-in for the acquisition library (CvAcq.dll): a frame grabber system
// of acquisition devices, cameras and input modes that a test scripts
// through the FakeAcq_ control functions. The test loads this same library
// with the dynamic library facility and looks the control functions up, so
// it steers the very instance the binding uses.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "acquisition/acquisition.h"

namespace {

struct Camera {
  int32_t id;
  int32_t modes;
};

// Error numbers of the library that the fake reports by itself.
enum : int32_t {
  kDeviceOpen = 1,
  kDeviceClosed = 6,
  kInvalidDevice = 11,
  kInvalidParameter = 12,
  kMissingParameter = 13,
};

struct World {
  int32_t devices = 1;
  std::vector<Camera> cameras{{5, 3}, {7, 2}};
  std::map<std::string, int32_t> numbers;   // what the query calls answer
  std::map<std::string, std::string> texts; // what the set calls were given
  std::map<std::string, int32_t> failing;   // entry point -> error number
  int32_t last_error = 0;
  int32_t current_device = -1;
  int32_t current_camera = -1; // index into cameras
  int32_t current_mode = -1;
  int32_t device_cursor = 0, camera_cursor = 0, mode_cursor = 0;
  bool open = false;
  std::vector<std::string> calls;
};

std::mutex world_lock;
World world;

// Notes the call; false when the test made this entry point fail, with its
// error number as the last error.
bool enter(const char *entry, const std::string &detail = {}) {
  world.calls.push_back(detail.empty() ? entry : std::string(entry) + "(" + detail + ")");
  auto failing = world.failing.find(entry);
  if (failing == world.failing.end())
    return true;
  world.last_error = failing->second;
  return false;
}

int32_t fail(int32_t error, int32_t result = 0) {
  world.last_error = error;
  return result;
}

int32_t write_name(const std::string &name, char *buffer, int32_t bytes) {
  if (!buffer || bytes <= 0 || name.size() >= static_cast<size_t>(bytes))
    return fail(kInvalidParameter);
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return 1;
}

std::string device_name(int32_t index) {
  return "Grabber " + std::to_string(index + 1);
}
std::string camera_name(int32_t index) {
  return "Camera " + std::to_string(index + 1);
}
std::string mode_name(int32_t index) {
  return "Mode " + std::to_string(index + 1);
}

// The name at the cursor, which moves on; a name past the last fails.
template <typename Name>
int32_t next_name(int32_t &cursor, int32_t count, Name name, char *buffer, int32_t bytes) {
  if (cursor >= count)
    return fail(kInvalidDevice);
  return write_name(name(cursor++), buffer, bytes);
}

template <typename Name> int32_t index_of(const char *name, int32_t count, Name name_of) {
  for (int32_t i = 0; name && i < count; ++i)
    if (name_of(i) == name)
      return i;
  return -1;
}

int32_t camera_count() {
  return static_cast<int32_t>(world.cameras.size());
}

int32_t mode_count() {
  return world.current_camera < 0 ? 0 : world.cameras[world.current_camera].modes;
}

int32_t query(const std::string &parameter, void *value, int32_t bytes) {
  auto found = world.numbers.find(parameter);
  if (found == world.numbers.end())
    return fail(kMissingParameter);
  if (!value || bytes < static_cast<int32_t>(sizeof(int32_t)))
    return fail(kInvalidParameter);
  std::memcpy(value, &found->second, sizeof found->second);
  return 1;
}

int32_t set(const std::string &parameter, const void *value, int32_t bytes) {
  if (!value || bytes <= 0)
    return fail(kInvalidParameter);
  const char *text = static_cast<const char *>(value);
  world.texts[parameter] = std::string(text, strnlen(text, static_cast<size_t>(bytes)));
  return 1;
}

} // namespace

extern "C" {

int32_t InitDeviceMgr(const char *ini_file) {
  std::lock_guard guard(world_lock);
  if (!enter("InitDeviceMgr", ini_file ? ini_file : "(null)"))
    return 0;
  world.current_device = world.devices > 0 ? 100 : -1;
  world.current_camera = world.cameras.empty() ? -1 : 0;
  return 1;
}

int32_t FreeDeviceResources(void) {
  std::lock_guard guard(world_lock);
  enter("FreeDeviceResources");
  world.open = false;
  return 1;
}

int32_t GetNumAcqDevices(void) {
  std::lock_guard guard(world_lock);
  return enter("GetNumAcqDevices") ? world.devices : -1;
}

int32_t GetFirstAcqDeviceName(char *name, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("GetFirstAcqDeviceName"))
    return 0;
  world.device_cursor = 0;
  return next_name(world.device_cursor, world.devices, device_name, name, bytes);
}

int32_t GetNextAcqDeviceName(char *name, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("GetNextAcqDeviceName"))
    return 0;
  return next_name(world.device_cursor, world.devices, device_name, name, bytes);
}

int32_t GetAcqDeviceId(const char *name) {
  std::lock_guard guard(world_lock);
  if (!enter("GetAcqDeviceId", name ? name : ""))
    return -1;
  int32_t index = index_of(name, world.devices, device_name);
  return index < 0 ? fail(kInvalidDevice, -1) : 100 + index;
}

int32_t SetCurrentAcqDevice(int32_t id) {
  std::lock_guard guard(world_lock);
  if (!enter("SetCurrentAcqDevice", std::to_string(id)))
    return 0;
  if (id < 100 || id >= 100 + world.devices)
    return fail(kInvalidDevice);
  world.current_device = id;
  return 1;
}

int32_t OpenDevice(int32_t mode) {
  std::lock_guard guard(world_lock);
  if (!enter("OpenDevice", std::to_string(mode)))
    return 0;
  if (world.open)
    return fail(kDeviceOpen);
  world.open = true;
  return 1;
}

int32_t CloseDevice(void) {
  std::lock_guard guard(world_lock);
  if (!enter("CloseDevice"))
    return 0;
  if (!world.open)
    return fail(kDeviceClosed);
  world.open = false;
  return 1;
}

int32_t ReadDevice(void *buffer, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("ReadDevice"))
    return -1;
  if (!world.open)
    return fail(kDeviceClosed, -1);
  if (!buffer || bytes < 0)
    return fail(kInvalidParameter, -1);
  std::memset(buffer, 0x5A, static_cast<size_t>(bytes));
  return bytes;
}

int32_t AcquireStart(void) {
  std::lock_guard guard(world_lock);
  if (!enter("AcquireStart"))
    return 0;
  return world.open ? 1 : fail(kDeviceClosed);
}

int32_t AcquireStop(void) {
  std::lock_guard guard(world_lock);
  if (!enter("AcquireStop"))
    return 0;
  return world.open ? 1 : fail(kDeviceClosed);
}

int32_t AcqDeviceQuery(const char *parameter, void *value, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("AcqDeviceQuery", parameter ? parameter : ""))
    return 0;
  return query(parameter ? parameter : "", value, bytes);
}

int32_t AcqDeviceSet(const char *parameter, const void *value, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("AcqDeviceSet", parameter ? parameter : ""))
    return 0;
  return set(parameter ? parameter : "", value, bytes);
}

int32_t GetLastAcqError(void) {
  std::lock_guard guard(world_lock);
  return world.last_error;
}

int32_t GetNumInputDevices(void) {
  std::lock_guard guard(world_lock);
  return enter("GetNumInputDevices") ? camera_count() : -1;
}

int32_t GetFirstInputDeviceName(char *name, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("GetFirstInputDeviceName"))
    return 0;
  world.camera_cursor = 0;
  return next_name(world.camera_cursor, camera_count(), camera_name, name, bytes);
}

int32_t GetNextInputDeviceName(char *name, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("GetNextInputDeviceName"))
    return 0;
  return next_name(world.camera_cursor, camera_count(), camera_name, name, bytes);
}

int32_t GetInputDeviceId(const char *name) {
  std::lock_guard guard(world_lock);
  if (!enter("GetInputDeviceId", name ? name : ""))
    return -1;
  int32_t index = index_of(name, camera_count(), camera_name);
  return index < 0 ? fail(kInvalidDevice, -1) : world.cameras[index].id;
}

int32_t SetCurrentInputDevice(int32_t id) {
  std::lock_guard guard(world_lock);
  if (!enter("SetCurrentInputDevice", std::to_string(id)))
    return 0;
  auto found = std::find_if(world.cameras.begin(), world.cameras.end(),
                            [id](const Camera &camera) { return camera.id == id; });
  if (found == world.cameras.end())
    return fail(kInvalidDevice);
  world.current_camera = static_cast<int32_t>(found - world.cameras.begin());
  world.current_mode = -1;
  return 1;
}

int32_t GetCurrentInputDevice(void) {
  std::lock_guard guard(world_lock);
  if (!enter("GetCurrentInputDevice") || world.current_camera < 0)
    return -1;
  return world.cameras[world.current_camera].id;
}

int32_t AcqInputDeviceQuery(const char *parameter, void *value, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("AcqInputDeviceQuery", parameter ? parameter : ""))
    return 0;
  return query(std::string("input:") + (parameter ? parameter : ""), value, bytes);
}

int32_t AcqInputDeviceSet(const char *parameter, const void *value, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("AcqInputDeviceSet", parameter ? parameter : ""))
    return 0;
  return set(std::string("input:") + (parameter ? parameter : ""), value, bytes);
}

int32_t GetNumInputModes(void) {
  std::lock_guard guard(world_lock);
  if (!enter("GetNumInputModes"))
    return -1;
  return world.current_camera < 0 ? fail(kInvalidDevice, -1) : mode_count();
}

int32_t GetFirstInputModeName(char *name, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("GetFirstInputModeName"))
    return 0;
  world.mode_cursor = 0;
  return next_name(world.mode_cursor, mode_count(), mode_name, name, bytes);
}

int32_t GetNextInputModeName(char *name, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("GetNextInputModeName"))
    return 0;
  return next_name(world.mode_cursor, mode_count(), mode_name, name, bytes);
}

int32_t GetInputModeId(const char *name) {
  std::lock_guard guard(world_lock);
  if (!enter("GetInputModeId", name ? name : ""))
    return -1;
  int32_t index = index_of(name, mode_count(), mode_name);
  return index < 0 ? fail(kInvalidParameter, -1) : index + 1;
}

int32_t SetCurrentInputMode(int32_t id) {
  std::lock_guard guard(world_lock);
  if (!enter("SetCurrentInputMode", std::to_string(id)))
    return 0;
  if (id < 1 || id > mode_count())
    return fail(kInvalidParameter);
  world.current_mode = id;
  return 1;
}

int32_t GetCurrentInputMode(void) {
  std::lock_guard guard(world_lock);
  return enter("GetCurrentInputMode") ? world.current_mode : -1;
}

int32_t AcqInputModeQuery(const char *parameter, void *value, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("AcqInputModeQuery", parameter ? parameter : ""))
    return 0;
  return query(std::string("mode:") + (parameter ? parameter : ""), value, bytes);
}

int32_t AcqInputModeSet(const char *parameter, const void *value, int32_t bytes) {
  std::lock_guard guard(world_lock);
  if (!enter("AcqInputModeSet", parameter ? parameter : ""))
    return 0;
  return set(std::string("mode:") + (parameter ? parameter : ""), value, bytes);
}

// The control functions of the tests.

// Back to one grabber, cameras of ids 5 (3 modes) and 7 (2 modes), no
// parameters, no failures, an empty call log.
void FakeAcq_Reset(void) {
  std::lock_guard guard(world_lock);
  world = World{};
}

void FakeAcq_SetDevices(int32_t count) {
  std::lock_guard guard(world_lock);
  world.devices = count;
}

// count cameras with the given identifiers and input mode counts.
void FakeAcq_SetCameras(int32_t count, const int32_t *ids, const int32_t *modes) {
  std::lock_guard guard(world_lock);
  world.cameras.clear();
  for (int32_t i = 0; i < count; ++i)
    world.cameras.push_back({ids[i], modes[i]});
}

// A number that the device query calls answer for the parameter.
void FakeAcq_SetNumber(const char *parameter, int32_t value) {
  std::lock_guard guard(world_lock);
  world.numbers[parameter] = value;
}

// The entry point fails from now on, leaving error as the last error.
void FakeAcq_FailCall(const char *entry, int32_t error) {
  std::lock_guard guard(world_lock);
  world.failing[entry] = error;
}

void FakeAcq_SetLastError(int32_t error) {
  std::lock_guard guard(world_lock);
  world.last_error = error;
}

// The calls so far, one a line, as "Name" or "Name(argument)". Cut to the
// buffer; returns the length of the whole log.
int32_t FakeAcq_CallLog(char *buffer, int32_t bytes) {
  std::lock_guard guard(world_lock);
  std::string log;
  for (const std::string &call : world.calls)
    log += call + "\n";
  if (buffer && bytes > 0) {
    size_t length = std::min(log.size(), static_cast<size_t>(bytes) - 1);
    std::memcpy(buffer, log.data(), length);
    buffer[length] = '\0';
  }
  return static_cast<int32_t>(log.size());
}

// The text a device set call gave the parameter; 0 when none did.
int32_t FakeAcq_Text(const char *parameter, char *buffer, int32_t bytes) {
  std::lock_guard guard(world_lock);
  auto found = world.texts.find(parameter);
  if (found == world.texts.end())
    return 0;
  return write_name(found->second, buffer, bytes);
}

} // extern "C"

// The fake must keep the binding's idea of every entry point.
#define FAKE_ACQ_SAME_TYPE(name)                                                                   \
  static_assert(std::is_same_v<decltype(&name), name##_fn>, #name " differs from the binding");
ACQ_DLL_ENTRY_POINTS(FAKE_ACQ_SAME_TYPE)
