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

// One entry point's call under the world lock, noted in the log: `refused`
// when the test made the entry point fail, else what the work returns.
template <typename Work>
int32_t entry_call(const char *entry, const std::string &detail, int32_t refused, Work work) {
  std::lock_guard guard(world_lock);
  return enter(entry, detail) ? work() : refused;
}

int32_t device_count() {
  return world.devices;
}

int32_t camera_count() {
  return static_cast<int32_t>(world.cameras.size());
}

int32_t mode_count() {
  return world.current_camera < 0 ? 0 : world.cameras[world.current_camera].modes;
}

// The names the library lists one after the other from a cursor: of the
// acquisition devices, of the cameras (its input devices), of the current
// camera's input modes.
struct NameList {
  const char *stem;
  int32_t World::*cursor;
  int32_t (*count)();
  std::string name(int32_t index) const { return stem + std::to_string(index + 1); }
};
constexpr NameList kDevices{"Grabber ", &World::device_cursor, device_count};
constexpr NameList kCameras{"Camera ", &World::camera_cursor, camera_count};
constexpr NameList kModes{"Mode ", &World::mode_cursor, mode_count};

// The name at the cursor, which moves on; a name past the last fails.
int32_t next_name(const NameList &list, char *buffer, int32_t bytes) {
  int32_t &cursor = world.*list.cursor;
  if (cursor >= list.count())
    return fail(kInvalidDevice);
  return write_name(list.name(cursor++), buffer, bytes);
}

int32_t first_name_call(const char *entry, const NameList &list, char *buffer, int32_t bytes) {
  return entry_call(entry, {}, 0, [&] {
    world.*list.cursor = 0;
    return next_name(list, buffer, bytes);
  });
}

int32_t next_name_call(const char *entry, const NameList &list, char *buffer, int32_t bytes) {
  return entry_call(entry, {}, 0, [&] { return next_name(list, buffer, bytes); });
}

int32_t index_of(const char *name, const NameList &list) {
  for (int32_t i = 0; name && i < list.count(); ++i)
    if (list.name(i) == name)
      return i;
  return -1;
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

// The query and set calls of the device, the camera and the input mode:
// their parameters are kept apart by a prefix ("", "input:", "mode:").
int32_t query_call(const char *entry, const char *prefix, const char *parameter, void *value,
                   int32_t bytes) {
  const std::string name = parameter ? parameter : "";
  return entry_call(entry, name, 0, [&] { return query(prefix + name, value, bytes); });
}

int32_t set_call(const char *entry, const char *prefix, const char *parameter, const void *value,
                 int32_t bytes) {
  const std::string name = parameter ? parameter : "";
  return entry_call(entry, name, 0, [&] { return set(prefix + name, value, bytes); });
}

} // namespace

extern "C" {

int32_t InitDeviceMgr(const char *ini_file) {
  return entry_call("InitDeviceMgr", ini_file ? ini_file : "(null)", 0, [] {
    world.current_device = world.devices > 0 ? 100 : -1;
    world.current_camera = world.cameras.empty() ? -1 : 0;
    return 1;
  });
}

int32_t FreeDeviceResources(void) {
  std::lock_guard guard(world_lock);
  enter("FreeDeviceResources");
  world.open = false;
  return 1;
}

int32_t GetNumAcqDevices(void) {
  return entry_call("GetNumAcqDevices", {}, -1, device_count);
}

int32_t GetFirstAcqDeviceName(char *name, int32_t bytes) {
  return first_name_call("GetFirstAcqDeviceName", kDevices, name, bytes);
}

int32_t GetNextAcqDeviceName(char *name, int32_t bytes) {
  return next_name_call("GetNextAcqDeviceName", kDevices, name, bytes);
}

int32_t GetAcqDeviceId(const char *name) {
  return entry_call("GetAcqDeviceId", name ? name : "", -1, [&] {
    int32_t index = index_of(name, kDevices);
    return index < 0 ? fail(kInvalidDevice, -1) : 100 + index;
  });
}

int32_t SetCurrentAcqDevice(int32_t id) {
  return entry_call("SetCurrentAcqDevice", std::to_string(id), 0, [&] {
    if (id < 100 || id >= 100 + world.devices)
      return fail(kInvalidDevice);
    world.current_device = id;
    return 1;
  });
}

int32_t OpenDevice(int32_t mode) {
  return entry_call("OpenDevice", std::to_string(mode), 0, [] {
    if (world.open)
      return fail(kDeviceOpen);
    world.open = true;
    return 1;
  });
}

int32_t CloseDevice(void) {
  return entry_call("CloseDevice", {}, 0, [] {
    if (!world.open)
      return fail(kDeviceClosed);
    world.open = false;
    return 1;
  });
}

int32_t ReadDevice(void *buffer, int32_t bytes) {
  return entry_call("ReadDevice", {}, -1, [&] {
    if (!world.open)
      return fail(kDeviceClosed, -1);
    if (!buffer || bytes < 0)
      return fail(kInvalidParameter, -1);
    std::memset(buffer, 0x5A, static_cast<size_t>(bytes));
    return bytes;
  });
}

int32_t AcquireStart(void) {
  return entry_call("AcquireStart", {}, 0, [] { return world.open ? 1 : fail(kDeviceClosed); });
}

int32_t AcquireStop(void) {
  return entry_call("AcquireStop", {}, 0, [] { return world.open ? 1 : fail(kDeviceClosed); });
}

int32_t AcqDeviceQuery(const char *parameter, void *value, int32_t bytes) {
  return query_call("AcqDeviceQuery", "", parameter, value, bytes);
}

int32_t AcqDeviceSet(const char *parameter, const void *value, int32_t bytes) {
  return set_call("AcqDeviceSet", "", parameter, value, bytes);
}

int32_t GetLastAcqError(void) {
  std::lock_guard guard(world_lock);
  return world.last_error;
}

int32_t GetNumInputDevices(void) {
  return entry_call("GetNumInputDevices", {}, -1, camera_count);
}

int32_t GetFirstInputDeviceName(char *name, int32_t bytes) {
  return first_name_call("GetFirstInputDeviceName", kCameras, name, bytes);
}

int32_t GetNextInputDeviceName(char *name, int32_t bytes) {
  return next_name_call("GetNextInputDeviceName", kCameras, name, bytes);
}

int32_t GetInputDeviceId(const char *name) {
  return entry_call("GetInputDeviceId", name ? name : "", -1, [&] {
    int32_t index = index_of(name, kCameras);
    return index < 0 ? fail(kInvalidDevice, -1) : world.cameras[index].id;
  });
}

int32_t SetCurrentInputDevice(int32_t id) {
  return entry_call("SetCurrentInputDevice", std::to_string(id), 0, [&] {
    auto found = std::find_if(world.cameras.begin(), world.cameras.end(),
                              [id](const Camera &camera) { return camera.id == id; });
    if (found == world.cameras.end())
      return fail(kInvalidDevice);
    world.current_camera = static_cast<int32_t>(found - world.cameras.begin());
    world.current_mode = -1;
    return 1;
  });
}

int32_t GetCurrentInputDevice(void) {
  return entry_call("GetCurrentInputDevice", {}, -1, [] {
    return world.current_camera < 0 ? -1 : world.cameras[world.current_camera].id;
  });
}

int32_t AcqInputDeviceQuery(const char *parameter, void *value, int32_t bytes) {
  return query_call("AcqInputDeviceQuery", "input:", parameter, value, bytes);
}

int32_t AcqInputDeviceSet(const char *parameter, const void *value, int32_t bytes) {
  return set_call("AcqInputDeviceSet", "input:", parameter, value, bytes);
}

int32_t GetNumInputModes(void) {
  return entry_call("GetNumInputModes", {}, -1, [] {
    return world.current_camera < 0 ? fail(kInvalidDevice, -1) : mode_count();
  });
}

int32_t GetFirstInputModeName(char *name, int32_t bytes) {
  return first_name_call("GetFirstInputModeName", kModes, name, bytes);
}

int32_t GetNextInputModeName(char *name, int32_t bytes) {
  return next_name_call("GetNextInputModeName", kModes, name, bytes);
}

int32_t GetInputModeId(const char *name) {
  return entry_call("GetInputModeId", name ? name : "", -1, [&] {
    int32_t index = index_of(name, kModes);
    return index < 0 ? fail(kInvalidParameter, -1) : index + 1;
  });
}

int32_t SetCurrentInputMode(int32_t id) {
  return entry_call("SetCurrentInputMode", std::to_string(id), 0, [&] {
    if (id < 1 || id > mode_count())
      return fail(kInvalidParameter);
    world.current_mode = id;
    return 1;
  });
}

int32_t GetCurrentInputMode(void) {
  return entry_call("GetCurrentInputMode", {}, -1, [] { return world.current_mode; });
}

int32_t AcqInputModeQuery(const char *parameter, void *value, int32_t bytes) {
  return query_call("AcqInputModeQuery", "mode:", parameter, value, bytes);
}

int32_t AcqInputModeSet(const char *parameter, const void *value, int32_t bytes) {
  return set_call("AcqInputModeSet", "mode:", parameter, value, bytes);
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
