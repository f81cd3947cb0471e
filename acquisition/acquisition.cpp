#include "acquisition/acquisition.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "acquisition/ini_file_internal.h"
#include "base/console.h"
#include "base/files.h"
#include "base/hooks.h"
#include "base/sys_info.h"
#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"

acq_dll_table acq_dll = {};
acq_ld_table acq_ld_dll = {};
acq_sys_cal_read_fn acq_sys_cal_read_hook = acq_sys_cal_read_none;

extern "C" u_err_t acq_sys_cal_read_none(int32_t, const char *) {
  return ERR_NONE;
}

namespace {

using ferry::EntryPoint;
using ferry::HookBuffer;

constexpr char kLibraryName[] = "CvAcq.dll";
constexpr char kIniName[] = "CvAcq.ini";
constexpr char kLockName[] = "TARNCVCAL";
constexpr char kLiveDisplaySection[] = "ACQDEVICE1";
constexpr char kLiveDisplayKey[] = "MODULE";
constexpr char kDefaultLiveDisplay[] = "pulsaracq.dll";
// The frame-copy event is named inside the process only, so a frame copy
// that waits keeps its own reference while a release closes the library's.
constexpr char kFrameCopyEvent[] = "pl_copy_fb_mutex";

// Device set-up modes, in the order the start-up goes through them.
constexpr int32_t kSetupModes[] = {2, 1};
constexpr int32_t kDisplayLimitsBit = 0x02;

#define ACQ_ENTRY(name) FERRY_ENTRY_POINT(acq_dll_table, name),
constexpr EntryPoint<acq_dll_table> kDllEntryPoints[] = {ACQ_DLL_ENTRY_POINTS(ACQ_ENTRY)};
#undef ACQ_ENTRY
#define ACQ_LD_ENTRY(name) FERRY_ENTRY_POINT(acq_ld_table, name),
constexpr EntryPoint<acq_ld_table> kLdEntryPoints[] = {ACQ_LD_ENTRY_POINTS(ACQ_LD_ENTRY)};
#undef ACQ_LD_ENTRY

// The acquisition library's error numbers 1..26, in order.
struct AcqError {
  const char *text;
  u_err_t code;
};
constexpr AcqError kAcqErrors[] = {
    {"Device Open\n", ERR_ACQ_DEVICE_OPEN},
    {"Control File\n", ERR_ACQ_CMD},
    {"Host Resource\n", ERR_ACQ_CMD},
    {"Input Device Open\n", ERR_ACQ_DEVICE_OPEN},
    {"Device Busy\n", ERR_ACQ_DEVICE_BUSY},
    {"Device Closed\n", ERR_ACQ_DEVICE_CLOSE},
    {"Device Not Ready\n", ERR_ACQ_CMD},
    {"Device Buffer\n", ERR_ACQ_CMD},
    {"Out Of Memory\n", ERR_ACQ_CMD},
    {"Invalid Device Mode Specified\n", ERR_ACQ_INVALID_MODE},
    {"Invalid Device Specified\n", ERR_ACQ_CMD},
    {"Invalid Parameter\n", ERR_ACQ_CMD},
    {"Missing Parameter\n", ERR_ACQ_CMD},
    {"System\n", ERR_ACQ_CMD},
    {"System Resource\n", ERR_ACQ_CMD},
    {"Timed Out Waiting for Frames\n", ERR_ACQ_TIMEOUT},
    {"Frame Buffer Overflow\n", ERR_LOST_FRAME},
    {"Data Corrupt\n", ERR_FRAME_DATA_CORRUPT},
    {"Unknown\n", ERR_ACQ_CMD},
    {"Device\n", ERR_ACQ_CMD},
    {"Missed Frame\n", ERR_LOST_FRAME},
    {"Device Initialize\n", ERR_ACQ_CMD},
    {"Configuration File Invalid\n", ERR_ACQ_CFGFILE_INVALID},
    {"Cannot Find File\n", ERR_CANT_OPEN_FILE},
    {"Field Drop\n", ERR_LOST_FRAME},
    {"Attempt to use unsupported functionality\n", ERR_ACQ_CMD},
};
constexpr AcqError kUnknownAcqError = {"Unknown\n", ERR_UNKNOWN};

// Camera type names by code. The library's own names for the codes past 0
// are not known here: those codes print as their number.
constexpr const char *kCameraTypeNames[ACQ_CAMERA_TYPE_MAX + 1] = {"Unknown"};

struct AcqState {
  std::mutex lock;
  plat_dynlib *library = nullptr;
  plat_dynlib *live_display = nullptr;
  plat_machine_lock *system_lock = nullptr;
  plat_event *frame_copy = nullptr;
  bool initialised = false; // InitDeviceMgr was called: FreeDeviceResources is owed
  bool device_open = false; // OpenDevice succeeded: CloseDevice is owed
  std::atomic<bool> open{false};
  acq_info info{};
};

AcqState state;

const AcqError &acq_error_entry(int32_t error) {
  if (error >= 1 && error <= static_cast<int32_t>(std::size(kAcqErrors)))
    return kAcqErrors[error - 1];
  return kUnknownAcqError;
}

u_err_t translate_error() {
  if (!acq_dll.GetLastAcqError)
    return ERR_ACQ_MISSING_DLL;
  int32_t error = acq_dll.GetLastAcqError();
  if (error == 0)
    return ERR_NONE;
  const AcqError &entry = acq_error_entry(error);
  u_msg_stamped("Acq Error: %s", entry.text);
  return entry.code;
}

// The code of a failed library call: its translated error, or a command
// failure when the library does not say why.
u_err_t failure_code() {
  u_err_t code = translate_error();
  return code == ERR_NONE ? ERR_ACQ_CMD : code;
}

// <SystemRoot><separator><name>, or empty without SystemRoot (or memory).
HookBuffer<char> system_root_path(const char *name) {
  const char *root = plat_getenv("SystemRoot");
  if (!root)
    return {};
  size_t root_length = std::strlen(root), name_length = std::strlen(name);
  HookBuffer<char> path(root_length + name_length + 2);
  if (path)
    std::snprintf(path.get(), root_length + name_length + 2, "%s%c%s", root, plat_dir_separator,
                  name);
  return path;
}

void unload_live_display() {
  ferry::clear_entry_points(acq_ld_dll, std::span(kLdEntryPoints));
  plat_dynlib_unload(state.live_display);
  state.live_display = nullptr;
}

void unload_library() {
  state.open.store(false);
  if (state.device_open && acq_dll.CloseDevice)
    acq_dll.CloseDevice();
  if (state.initialised && acq_dll.FreeDeviceResources)
    acq_dll.FreeDeviceResources();
  state.device_open = state.initialised = false;
  ferry::clear_entry_points(acq_dll, std::span(kDllEntryPoints));
  plat_dynlib_unload(state.library);
  state.library = nullptr;
  unload_live_display();
  plat_event_close(state.frame_copy);
  state.frame_copy = nullptr;
}

void release_system_lock() {
  plat_machine_lock_close(state.system_lock);
  state.system_lock = nullptr;
}

void release(int32_t instrument) {
  unload_library();
  if (instrument != ACQ_NO_INSTRUMENT)
    release_system_lock();
}

u_err_t bind_live_display() {
  unload_live_display();
  char module[260];
  HookBuffer<char> ini = system_root_path(kIniName);
  if (!ini || !ferry::ini_read_value(ini.get(), kLiveDisplaySection, kLiveDisplayKey, module,
                                     sizeof module))
    std::snprintf(module, sizeof module, "%s", kDefaultLiveDisplay);
  state.live_display = plat_dynlib_load(module);
  if (!state.live_display) {
    u_msg_hook("%s: unable to access frame grabber DLL\n", "cv_ld_init");
    return ERR_ACQ_INVALID_DLL;
  }
  auto ignore = [](const char *) {};
  if (ferry::bind_entry_points(state.live_display, acq_ld_dll, std::span(kLdEntryPoints), ignore)) {
    unload_live_display();
    return ERR_ACQ_INVALID_DLL;
  }
  return ERR_NONE;
}

// The acquisition library's configuration folders follow the
// configuration directory unless the host set them.
void set_pulsar_folders() {
  const char *config = u_config_dir();
  if (plat_getenv("PULSARRES") || !config)
    return;
  for (const char *name : {"PULSARRES", "PULSARVCF", "PULSARDCF"})
    plat_setenv(name, config);
}

void list_ini_file(const char *ini_file) {
  u_msg_hook("INI file = %s\n", ini_file);
  if (!plat_getenv("SystemRoot")) {
    u_msg_hook("Cannot access SystemRoot environment variable\n");
    return;
  }
  HookBuffer<char> path = system_root_path(ini_file);
  if (path && is_regular_file(path.get())) {
    u_msg_hook("Contents of INI file %s:\n", path.get());
    u_print_text_file(path.get(), "  ");
  } else {
    u_msg_hook("Cannot access INI file %s\n", path ? path.get() : ini_file);
  }
}

u_err_t open_library(const char *ini_file) {
  unload_library();
  u_msg_hook("Loading library CvAcq.dll\n");
  state.library = plat_dynlib_load(kLibraryName);
  if (!state.library) {
    u_msg_hook("%s: CvAcq.dll missing\n", "acq_mgropen");
    return ERR_ACQ_MISSING_DLL;
  }
  auto ignore = [](const char *) {};
  if (ferry::bind_entry_points(state.library, acq_dll, std::span(kDllEntryPoints), ignore)) {
    u_msg_hook("%s: CvAcq.dll invalid or corrupted\n", "acq_mgropen");
    unload_library();
    return ERR_ACQ_INVALID_DLL;
  }
  set_pulsar_folders();
  u_msg_hook("Initializing CvAcq.dll\n");
  if (ini_file)
    list_ini_file(ini_file);
  state.initialised = true;
  if (!acq_dll.InitDeviceMgr(ini_file ? ini_file : "")) {
    u_msg_stamped("%s: CvAcq.dll initialization failed - verify that CvAcq.ini is correct\n",
                  "acq_mgropen");
    unload_library();
    return ERR_ACQ_INIT_DEV;
  }
  if (bind_live_display() != ERR_NONE)
    u_msg_hook("Corvista control of live display settings is not enabled.\n");
  state.frame_copy = plat_event_create(kFrameCopyEvent, false, true, nullptr);
  if (!state.frame_copy) {
    u_msg_stamped("%s: Cannot create pl_copy_fb_mutex\n", "acq_mgropen");
    unload_library();
    return ERR_UNKNOWN;
  }
  state.open.store(true);
  return ERR_NONE;
}

// Copies a name the library wrote, cut to the record's field.
void keep_name(char (&field)[ACQ_NAME_MAX], const char *name) {
  std::snprintf(field, sizeof field, "%s", name);
}

template <typename First, typename Next>
bool read_name(int index, First first, Next next, char (&field)[ACQ_NAME_MAX]) {
  char name[ACQ_NAME_MAX] = {};
  bool read = index == 0 ? first(name, ACQ_NAME_MAX) : next(name, ACQ_NAME_MAX);
  name[ACQ_NAME_MAX - 1] = '\0';
  keep_name(field, name);
  return read;
}

// Asks the library how many it has of one kind; its failure when it cannot
// say.
u_err_t read_count(int32_t (*ask)(void), int32_t &count) {
  int32_t answer = ask();
  if (answer < 0)
    return failure_code();
  count = answer;
  return ERR_NONE;
}

u_err_t get_devices(acq_info &info) {
  if (u_err_t code = read_count(acq_dll.GetNumAcqDevices, info.num_devices))
    return code;
  info.device_name[0] = '\0';
  if (info.num_devices > 0 &&
      !read_name(0, acq_dll.GetFirstAcqDeviceName, acq_dll.GetNextAcqDeviceName, info.device_name))
    return failure_code();
  return ERR_NONE;
}

u_err_t get_input_devices(acq_info &info) {
  if (u_err_t code = read_count(acq_dll.GetNumInputDevices, info.num_cameras))
    return code;
  for (int i = 0; i < ACQ_CAMERAS; ++i) {
    info.camera_name[i][0] = '\0';
    info.camera_id[i] = -1;
    if (i >= info.num_cameras)
      continue;
    if (!read_name(i, acq_dll.GetFirstInputDeviceName, acq_dll.GetNextInputDeviceName,
                   info.camera_name[i]))
      return failure_code();
    info.camera_id[i] = acq_dll.GetInputDeviceId(info.camera_name[i]);
  }
  info.camera_type = info.camera_id[0];
  return ERR_NONE;
}

u_err_t get_input_modes(acq_info &info) {
  for (int i = 0; i < ACQ_CAMERAS; ++i) {
    info.num_modes[i] = 0;
    if (info.camera_id[i] < 0)
      continue;
    if (!acq_dll.SetCurrentInputDevice(info.camera_id[i]))
      return failure_code();
    if (u_err_t code = read_count(acq_dll.GetNumInputModes, info.num_modes[i]))
      return code;
  }
  return ERR_NONE;
}

void print_system(const acq_info &info) {
  char type_name[32];
  u_msg_hook("Num acquisition devices    = %d\n", info.num_devices);
  u_msg_hook("Num cameras                = %d\n", info.num_cameras);
  u_msg_hook("Num primary camera modes   = %d\n", info.num_modes[0]);
  u_msg_hook("Num secondary camera modes = %d\n", info.num_modes[1]);
  u_msg_hook("Primary camera type        = %s\n",
             acq_camera_type_name(info.camera_type, type_name));
}

bool select_device(const acq_info &info) {
  if (info.num_devices < 1)
    return false;
  int32_t id = acq_dll.GetAcqDeviceId(info.device_name);
  return id >= 0 && acq_dll.SetCurrentAcqDevice(id);
}

u_err_t pass_config_folder() {
  const char *config = u_config_dir();
  if (config &&
      !acq_dll.AcqDeviceSet("CFG FILE PATH", config, static_cast<int32_t>(std::strlen(config) + 1)))
    return failure_code();
  return ERR_NONE;
}

u_err_t set_up_device(int32_t mode) {
  if (state.device_open) {
    state.device_open = false;
    if (!acq_dll.CloseDevice())
      return failure_code();
  }
  if (!acq_dll.OpenDevice(mode))
    return failure_code();
  state.device_open = true;
  return ERR_NONE;
}

// A device parameter read as a number; 0 when the device does not have it.
int32_t device_number(const char *parameter) {
  int32_t value = 0;
  if (!acq_dll.AcqDeviceQuery(parameter, &value, sizeof value))
    return 0;
  return value;
}

void read_display(acq_info &info) {
  info.display_type = device_number("DISPLAY TYPE");
  if (info.display_type & kDisplayLimitsBit) {
    info.max_display_width = device_number("MAX DISPLAY WIDTH");
    info.max_display_height = device_number("MAX DISPLAY HEIGHT");
  }
  info.onboard_proc = device_number("ONBOARD PROC");
}

u_err_t start_devices(acq_info &info) {
  for (auto step : {get_devices, get_input_devices, get_input_modes})
    if (u_err_t code = step(info))
      return code;
  print_system(info);
  if (!select_device(info)) {
    u_msg_hook("%s: Cannot select the current acquisition device\n", "acq_mgrinit");
    return ERR_ACQ_INVALID_DEVICE;
  }
  if (u_err_t code = pass_config_folder())
    return code;
  if (info.camera_id[0] < 0 || !acq_dll.SetCurrentInputDevice(info.camera_id[0])) {
    u_msg_hook("%s: Cannot set selected input device\n", "acq_mgrinit");
    return ERR_ACQ_INVALID_DEVICE;
  }
  for (int32_t mode : kSetupModes)
    if (u_err_t code = set_up_device(mode))
      return code;
  read_display(info);
  return ERR_NONE;
}

// Takes the machine-wide lock into the state: ERR_ACQ_INIT_DEV with its
// message when it cannot be had or someone else holds it.
u_err_t take_system_lock() {
  plat_machine_lock *lock = plat_machine_lock_open(kLockName);
  if (!lock) {
    u_msg_stamped("%s: Cannot create system resource\n", "acq_mgrinit");
    return ERR_ACQ_INIT_DEV;
  }
  int waited = plat_machine_lock_acquire(lock, ACQ_LOCK_WAIT_MS);
  if (waited != PLAT_WAIT_SIGNALLED) {
    plat_machine_lock_close(lock);
    u_msg_stamped(waited == PLAT_WAIT_TIMEOUT ? "%s: Acquisition system in use by another process\n"
                                              : "%s: Cannot create system resource\n",
                  "acq_mgrinit");
    return ERR_ACQ_INIT_DEV;
  }
  state.system_lock = lock;
  return ERR_NONE;
}

template <typename Fn> u_err_t with_open_library(acq_info *info, Fn step) {
  if (!info)
    return ERR_INVALID_PARAM;
  std::lock_guard guard(state.lock);
  if (!state.library || !state.open.load())
    return ERR_ACQ_MISSING_DLL;
  return step(*info);
}

} // namespace

extern "C" u_err_t acq_mgrinit(int32_t instrument, const char *cal_file) {
  if (instrument < 0 || instrument >= SYS_INFO_MAX_INSTRUMENTS)
    return ERR_INVALID_PARAM;
  std::lock_guard guard(state.lock);
  if (u_err_t code = acq_sys_cal_read_hook(instrument, cal_file))
    return code;
  if (u_err_t code = take_system_lock())
    return code;
  if (open_library(kIniName) != ERR_NONE) {
    release(instrument);
    return ERR_ACQ_INIT_DEV;
  }
  acq_info info{};
  if (u_err_t code = start_devices(info)) {
    release(instrument);
    return code;
  }
  state.info = info;
  return ERR_NONE;
}

extern "C" u_err_t acq_mgropen(const char *ini_file) {
  std::lock_guard guard(state.lock);
  return open_library(ini_file);
}

extern "C" u_err_t cv_ld_init(void) {
  std::lock_guard guard(state.lock);
  return bind_live_display();
}

extern "C" u_err_t acq_mgrclose(int32_t instrument) {
  std::lock_guard guard(state.lock);
  bool with_lock = instrument >= 0 && state.system_lock;
  if (!state.library && !with_lock)
    return ERR_ACQ_MISSING_DLL;
  // A lock kept by an earlier release without the instrument goes now.
  release(instrument < 0 ? ACQ_NO_INSTRUMENT : instrument);
  return ERR_NONE;
}

extern "C" bool acq_is_open(void) {
  return state.open.load();
}

extern "C" u_err_t acq_translate_error(void) {
  std::lock_guard guard(state.lock);
  return translate_error();
}

extern "C" u_err_t acq_getdevices(acq_info *info) {
  return with_open_library(info, get_devices);
}

extern "C" u_err_t acq_getinputdev(acq_info *info) {
  return with_open_library(info, get_input_devices);
}

extern "C" u_err_t acq_getinputmodes(acq_info *info) {
  return with_open_library(info, get_input_modes);
}

extern "C" void acq_get_info(acq_info *info) {
  if (!info)
    return;
  std::lock_guard guard(state.lock);
  *info = state.info;
}

extern "C" const char *acq_camera_type_name(int32_t code, char *buffer) {
  if (code < 0 || code > ACQ_CAMERA_TYPE_MAX)
    return kCameraTypeNames[0];
  if (kCameraTypeNames[code])
    return kCameraTypeNames[code];
  if (!buffer)
    return kCameraTypeNames[0];
  std::snprintf(buffer, 32, "Camera type %d", static_cast<int>(code));
  return buffer;
}

extern "C" u_err_t acq_frame_copy_begin(uint32_t timeout_ms) {
  plat_event *turn = plat_event_open(kFrameCopyEvent);
  if (!turn)
    return ERR_ACQ_MISSING_DLL;
  int waited = plat_event_wait(turn, timeout_ms);
  plat_event_close(turn);
  if (waited == PLAT_WAIT_SIGNALLED)
    return ERR_NONE;
  return waited == PLAT_WAIT_TIMEOUT ? ERR_ACQ_TIMEOUT : ERR_UNKNOWN;
}

extern "C" void acq_frame_copy_end(void) {
  plat_event *turn = plat_event_open(kFrameCopyEvent);
  plat_event_set(turn);
  plat_event_close(turn);
}
