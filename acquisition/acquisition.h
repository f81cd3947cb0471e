#pragma once
// The acquisition device manager: run-time binding of the acquisition
// library (CvAcq.dll) and of the frame grabber's live-display library, the
// machine-wide lock "TARNCVCAL" that gives one process the acquisition
// system, start-up and release, and the translation of the library's error
// numbers into the catalogue's codes.
//
// Conventions of the acquisition library's entry points: counts are -1 on
// failure; the other calls return nonzero on success and zero on failure,
// after which GetLastAcqError tells why. Names are NUL-ended texts written
// into the caller's buffer of `bytes` bytes.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*InitDeviceMgr_fn)(const char *ini_file);
typedef int32_t (*FreeDeviceResources_fn)(void);
typedef int32_t (*GetNumAcqDevices_fn)(void);
typedef int32_t (*GetFirstAcqDeviceName_fn)(char *name, int32_t bytes);
typedef int32_t (*GetNextAcqDeviceName_fn)(char *name, int32_t bytes);
typedef int32_t (*GetAcqDeviceId_fn)(const char *name); // -1 when unknown
typedef int32_t (*SetCurrentAcqDevice_fn)(int32_t id);
typedef int32_t (*OpenDevice_fn)(int32_t mode);
typedef int32_t (*CloseDevice_fn)(void);
typedef int32_t (*ReadDevice_fn)(void *buffer, int32_t bytes); // bytes read, -1 on failure
typedef int32_t (*AcquireStart_fn)(void);
typedef int32_t (*AcquireStop_fn)(void);
typedef int32_t (*AcqDeviceQuery_fn)(const char *parameter, void *value, int32_t bytes);
typedef int32_t (*AcqDeviceSet_fn)(const char *parameter, const void *value, int32_t bytes);
typedef int32_t (*GetLastAcqError_fn)(void); // 0 when there was none
typedef int32_t (*GetNumInputDevices_fn)(void);
typedef int32_t (*GetFirstInputDeviceName_fn)(char *name, int32_t bytes);
typedef int32_t (*GetNextInputDeviceName_fn)(char *name, int32_t bytes);
typedef int32_t (*GetInputDeviceId_fn)(const char *name);
typedef int32_t (*SetCurrentInputDevice_fn)(int32_t id);
typedef int32_t (*GetCurrentInputDevice_fn)(void); // the id, -1 when none
typedef int32_t (*AcqInputDeviceQuery_fn)(const char *parameter, void *value, int32_t bytes);
typedef int32_t (*AcqInputDeviceSet_fn)(const char *parameter, const void *value, int32_t bytes);
typedef int32_t (*GetNumInputModes_fn)(void);
typedef int32_t (*GetFirstInputModeName_fn)(char *name, int32_t bytes);
typedef int32_t (*GetNextInputModeName_fn)(char *name, int32_t bytes);
typedef int32_t (*GetInputModeId_fn)(const char *name);
typedef int32_t (*SetCurrentInputMode_fn)(int32_t id);
typedef int32_t (*GetCurrentInputMode_fn)(void);
typedef int32_t (*AcqInputModeQuery_fn)(const char *parameter, void *value, int32_t bytes);
typedef int32_t (*AcqInputModeSet_fn)(const char *parameter, const void *value, int32_t bytes);

// Every entry point of the acquisition library; all are required.
#define ACQ_DLL_ENTRY_POINTS(X)                                                                    \
  X(InitDeviceMgr)                                                                                 \
  X(FreeDeviceResources)                                                                           \
  X(GetNumAcqDevices)                                                                              \
  X(GetFirstAcqDeviceName)                                                                         \
  X(GetNextAcqDeviceName)                                                                          \
  X(GetAcqDeviceId)                                                                                \
  X(SetCurrentAcqDevice)                                                                           \
  X(OpenDevice)                                                                                    \
  X(CloseDevice)                                                                                   \
  X(ReadDevice)                                                                                    \
  X(AcquireStart)                                                                                  \
  X(AcquireStop)                                                                                   \
  X(AcqDeviceQuery)                                                                                \
  X(AcqDeviceSet)                                                                                  \
  X(GetLastAcqError)                                                                               \
  X(GetNumInputDevices)                                                                            \
  X(GetFirstInputDeviceName)                                                                       \
  X(GetNextInputDeviceName)                                                                        \
  X(GetInputDeviceId)                                                                              \
  X(SetCurrentInputDevice)                                                                         \
  X(GetCurrentInputDevice)                                                                         \
  X(AcqInputDeviceQuery)                                                                           \
  X(AcqInputDeviceSet)                                                                             \
  X(GetNumInputModes)                                                                              \
  X(GetFirstInputModeName)                                                                         \
  X(GetNextInputModeName)                                                                          \
  X(GetInputModeId)                                                                                \
  X(SetCurrentInputMode)                                                                           \
  X(GetCurrentInputMode)                                                                           \
  X(AcqInputModeQuery)                                                                             \
  X(AcqInputModeSet)

// The live-display library's entry points; all are required.
typedef int32_t (*SetLDNFringes_fn)(int32_t fringes);
typedef int32_t (*SetLDPhaseRes_fn)(int32_t resolution);
typedef int32_t (*SetLDTarnScale_fn)(double scale);
typedef int32_t (*SetLDMinArea_fn)(int32_t pixels);
typedef int32_t (*RunLDCommand_fn)(const char *command);

#define ACQ_LD_ENTRY_POINTS(X)                                                                     \
  X(SetLDNFringes)                                                                                 \
  X(SetLDPhaseRes)                                                                                 \
  X(SetLDTarnScale)                                                                                \
  X(SetLDMinArea)                                                                                  \
  X(RunLDCommand)

#define ACQ_SLOT(name) name##_fn name;
// The bound entry points; every slot is empty while the library is not
// loaded.
typedef struct acq_dll_table {
  ACQ_DLL_ENTRY_POINTS(ACQ_SLOT)
} acq_dll_table;
typedef struct acq_ld_table {
  ACQ_LD_ENTRY_POINTS(ACQ_SLOT)
} acq_ld_table;
#undef ACQ_SLOT

FERRY_API extern acq_dll_table acq_dll;
FERRY_API extern acq_ld_table acq_ld_dll;

enum {
  ACQ_NAME_MAX = 64,
  // Cameras the start-up looks at: the primary and the secondary one.
  ACQ_CAMERAS = 2,
  ACQ_CAMERA_TYPE_MAX = 32,
  ACQ_NO_INSTRUMENT = -1,
  // The time another process's lock may keep us waiting.
  ACQ_LOCK_WAIT_MS = 500
};

// What the start-up learnt of the acquisition system.
typedef struct acq_info {
  int32_t num_devices;
  char device_name[ACQ_NAME_MAX]; // the first acquisition device: the one used
  int32_t num_cameras;
  char camera_name[ACQ_CAMERAS][ACQ_NAME_MAX];
  int32_t camera_id[ACQ_CAMERAS]; // -1 for a camera that is not there
  // The primary camera's identifier is its camera type code.
  int32_t camera_type;
  int32_t num_modes[ACQ_CAMERAS]; // input modes of the primary and secondary camera
  int32_t display_type;           // 0 when the device does not say
  int32_t max_display_width;      // read when bit 1 of the display type is set
  int32_t max_display_height;
  int32_t onboard_proc; // 0 when the device does not say
} acq_info;

// Reads the system calibration file of an instrument before the start-up
// (replaceable by the host; the default reads nothing and returns 0). Its
// code is returned by acq_mgrinit unchanged.
typedef u_err_t (*acq_sys_cal_read_fn)(int32_t instrument, const char *cal_file);
FERRY_API extern acq_sys_cal_read_fn acq_sys_cal_read_hook;
FERRY_API u_err_t acq_sys_cal_read_none(int32_t instrument, const char *cal_file);

// The start-up: reads the calibration file, takes the machine-wide lock
// (waiting ACQ_LOCK_WAIT_MS for another owner), opens the library with
// CvAcq.ini, enumerates and selects the devices and sets the device up.
// Any failure after the lock was taken releases everything, the lock
// included. 0 or a catalogue code (ERR_ACQ_INIT_DEV when the lock is in
// use or the library cannot be opened).
FERRY_API u_err_t acq_mgrinit(int32_t instrument, const char *cal_file);

// Loads, binds and initialises the acquisition library with the named INI
// file (null: none), binds the live-display library when it can, and
// creates the frame-copy event. An acquisition library open before is
// released first. 0, ERR_ACQ_MISSING_DLL, ERR_ACQ_INVALID_DLL,
// ERR_ACQ_INIT_DEV or ERR_UNKNOWN.
FERRY_API u_err_t acq_mgropen(const char *ini_file);

// Binds the live-display library CvAcq.ini names under [ACQDEVICE1]
// MODULE (default pulsaracq.dll): 0 or ERR_ACQ_INVALID_DLL, which leaves
// that library unloaded.
FERRY_API u_err_t cv_ld_init(void);

// Frees the acquisition library's resources and unloads both libraries;
// with an instrument (not ACQ_NO_INSTRUMENT) also gives up and closes the
// lock (also one kept by an earlier release without the instrument);
// closes the frame-copy event. Callable from any thread.
// ERR_ACQ_MISSING_DLL when there was nothing to release (nothing is called
// then).
FERRY_API u_err_t acq_mgrclose(int32_t instrument);

// True while the acquisition library is bound.
FERRY_API bool acq_is_open(void);

// Asks the library for its last error, prints it after a time stamp and
// "Acq Error: ", and returns its catalogue code; 0 when the library has
// none. ERR_ACQ_MISSING_DLL (nothing printed) while no library is bound.
FERRY_API u_err_t acq_translate_error(void);

// Enumeration over the bound library: the acquisition devices (their count
// and the first one's name), the cameras of the current device (count, the
// first two names and identifiers, the primary camera's type), and the
// input modes of each of those cameras. 0, the translated library error,
// or ERR_ACQ_MISSING_DLL while no library is bound.
FERRY_API u_err_t acq_getdevices(acq_info *info);
FERRY_API u_err_t acq_getinputdev(acq_info *info);
FERRY_API u_err_t acq_getinputmodes(acq_info *info);

// A copy of what the last start-up learnt.
FERRY_API void acq_get_info(acq_info *info);

// The name of a camera type code; a code outside the table names "Unknown".
// Codes the table leaves unnamed are written as "Camera type <code>" into
// the buffer (at least 32 bytes), which is returned; without a buffer
// they name "Unknown" too.
FERRY_API const char *acq_camera_type_name(int32_t code, char *buffer);

// One frame copy at a time: waits up to timeout_ms (scaled) for the turn.
// ERR_ACQ_TIMEOUT when the turn did not come, ERR_ACQ_MISSING_DLL while the
// acquisition library is not open.
FERRY_API u_err_t acq_frame_copy_begin(uint32_t timeout_ms);
FERRY_API void acq_frame_copy_end(void);

#ifdef __cplusplus
}
#endif
