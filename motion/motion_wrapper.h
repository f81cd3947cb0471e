#pragma once
// Binding of the motion wrapper library (MotionWrapperInterface.dll): its
// entry points, bound one by one at run time.
//
// Every entry point returns 0 on success or the library's own error number,
// unless its comment says otherwise; `connection` is the handle OpenComm_MWI
// gives, `axis` an axis number of that connection. The back-end calls only
// through the table: an empty optional slot is a feature the library lacks.

#include <stdbool.h>
#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Handlers the library calls when it passes CAN traffic through: a PDO as
// COB-ID, second word and its 8 data bytes; an emergency as its first and
// second values, 12 data bytes and a one-byte value.
typedef void (*mc_mwi_pdo_handler_fn)(uint32_t cob_id, uint32_t second, const uint8_t *data);
typedef void (*mc_mwi_emcy_handler_fn)(uint32_t first, uint32_t second, const uint8_t *data,
                                       uint8_t value);

// Required entry points.
typedef int32_t (*CheckForEStopEvent_MWI_fn)(int32_t connection); // 1 after an emergency stop
typedef int32_t (*CloseComm_MWI_fn)(int32_t connection);
typedef int32_t (*CloseMotionWrapperInterface_MWI_fn)(void);
typedef int32_t (*DisableAxisJoystick_MWI_fn)(int32_t connection, int32_t axis);
typedef int32_t (*DisableJoystick_MWI_fn)(int32_t connection);
typedef int32_t (*DisablePositionReports_MWI_fn)(int32_t connection);
typedef int32_t (*EnableAxisJoystick_MWI_fn)(int32_t connection, int32_t axis);
typedef int32_t (*EnableJoystick_MWI_fn)(int32_t connection);
typedef int32_t (*EnablePositionReports_MWI_fn)(int32_t connection);
typedef int32_t (*FindHome_MWI_fn)(int32_t connection, int32_t axis);
typedef int32_t (*GetAcceleration_MWI_fn)(int32_t connection, int32_t axis, double *value);
typedef int32_t (*GetAxisError_MWI_fn)(int32_t connection, int32_t axis, int32_t *error);
typedef int32_t (*GetAxisStatus_MWI_fn)(int32_t connection, int32_t axis, int32_t *status);
typedef int32_t (*GetError_MWI_fn)(int32_t connection, int32_t *error);
typedef int32_t (*GetErrorString_MWI_fn)(int32_t error, char *text, int32_t bytes);
typedef int32_t (*GetEvent_MWI_fn)(int32_t connection, int32_t *event, int32_t *axis);
typedef int32_t (*GetHomeState_MWI_fn)(int32_t connection, int32_t axis, int32_t *state);
typedef int32_t (*GetHomeType_MWI_fn)(int32_t connection, int32_t axis, int32_t *type);
typedef int32_t (*GetIsJoystickEnabled_MWI_fn)(int32_t connection, int32_t *enabled);
typedef int32_t (*GetLabel_MWI_fn)(int32_t connection, int32_t axis, char *label, int32_t bytes);
typedef int32_t (*GetNodeId_MWI_fn)(int32_t connection, int32_t axis, int32_t *node);
typedef int32_t (*GetPitch_MWI_fn)(int32_t connection, int32_t axis, double *pitch);
typedef int32_t (*GetStatus_MWI_fn)(int32_t connection, int32_t *status);
typedef int32_t (*GetTravelMax_MWI_fn)(int32_t connection, int32_t axis, double *value);
typedef int32_t (*GetTravelMin_MWI_fn)(int32_t connection, int32_t axis, double *value);
typedef int32_t (*GetTravelZero_MWI_fn)(int32_t connection, int32_t axis, double *value);
typedef int32_t (*GetVelocity_MWI_fn)(int32_t connection, int32_t axis, double *value);
// True when a connection of the library has an event waiting.
typedef int32_t (*HasEvent_MWI_fn)(int32_t connection);
typedef int32_t (*InitMotionWrapperInterface_MWI_fn)(void);
typedef int32_t (*Move_MWI_fn)(int32_t connection, int32_t axis, double position);
typedef int32_t (*OpenComm_MWI_fn)(const char *configuration, int32_t *connection);
typedef int32_t (*SetAcceleration_MWI_fn)(int32_t connection, int32_t axis, double value);
typedef int32_t (*SetMoveMode_MWI_fn)(int32_t connection, int32_t axis, int32_t mode);
typedef int32_t (*SetPositionReport_MWI_fn)(int32_t connection, int32_t axis, int32_t enable);
typedef int32_t (*SetVelocity_MWI_fn)(int32_t connection, int32_t axis, double value);
typedef int32_t (*Stop_MWI_fn)(int32_t connection);
typedef int32_t (*StopAxis_MWI_fn)(int32_t connection, int32_t axis);

// The two position forms: one position, or the actual and the commanded one.
typedef int32_t (*GetPosition_MWI_fn)(int32_t connection, int32_t axis, double *position);
typedef int32_t (*GetActualPosition_MWI_fn)(int32_t connection, int32_t axis, double *position);
typedef int32_t (*GetCommandedPosition_MWI_fn)(int32_t connection, int32_t axis, double *position);

// CAN event pass-through.
typedef int32_t (*RegisterCanEvents_MWI_fn)(int32_t connection, mc_mwi_pdo_handler_fn pdo,
                                            mc_mwi_emcy_handler_fn emcy);
typedef int32_t (*UnregisterCanEvents_MWI_fn)(int32_t connection);

// External closed loop and the DMI position instrument.
typedef int32_t (*DmiReset_MWI_fn)(int32_t connection, int32_t axis);
typedef int32_t (*GetDmiCaptureBufferSize_MWI_fn)(int32_t connection, int32_t axis, int32_t *count);
typedef int32_t (*GetDmiCaptureBuffer_MWI_fn)(int32_t connection, int32_t axis, double *values,
                                              int32_t count);
typedef int32_t (*GetDmiPosition_MWI_fn)(int32_t connection, int32_t axis, double *position);
typedef int32_t (*GetDmiPreset_MWI_fn)(int32_t connection, int32_t axis, double *preset);
typedef int32_t (*GetDmiStatus_MWI_fn)(int32_t connection, int32_t axis, int32_t *status);
typedef int32_t (*GetExternalClosedLoopAmplifierFault_MWI_fn)(int32_t connection, int32_t axis,
                                                              int32_t *fault);
typedef int32_t (*GetExternalClosedLoopEnabled_MWI_fn)(int32_t connection, int32_t axis,
                                                       int32_t *enabled);
typedef int32_t (*GetIsDmiBufferReady_MWI_fn)(int32_t connection, int32_t axis, int32_t *ready);
typedef int32_t (*GetSupportsExternalClosedLoop_MWI_fn)(int32_t connection, int32_t axis,
                                                        int32_t *supported);
typedef int32_t (*SetDmiCaptureTrigger_MWI_fn)(int32_t connection, int32_t axis, int32_t trigger);
typedef int32_t (*SetDmiPreset_MWI_fn)(int32_t connection, int32_t axis, double preset);
typedef int32_t (*SetExternalClosedLoopEnabled_MWI_fn)(int32_t connection, int32_t axis,
                                                       int32_t enabled);

// Single optional entry points: the align/view indicator on the pendant, and
// the motion configuration file in effect.
typedef int32_t (*SetAlignViewIndicator_MWI_fn)(int32_t connection, int32_t on);
typedef int32_t (*GetConfigurationFile_MWI_fn)(int32_t connection, char *path, int32_t bytes);

// The entry points by group, each list in the order the binding looks them
// up: X(name) once per entry point.
#define MC_MWI_REQUIRED_ENTRY_POINTS(X)                                                            \
  X(CheckForEStopEvent_MWI)                                                                        \
  X(CloseComm_MWI)                                                                                 \
  X(CloseMotionWrapperInterface_MWI)                                                               \
  X(DisableAxisJoystick_MWI)                                                                       \
  X(DisableJoystick_MWI)                                                                           \
  X(DisablePositionReports_MWI)                                                                    \
  X(EnableAxisJoystick_MWI)                                                                        \
  X(EnableJoystick_MWI)                                                                            \
  X(EnablePositionReports_MWI)                                                                     \
  X(FindHome_MWI)                                                                                  \
  X(GetAcceleration_MWI)                                                                           \
  X(GetAxisError_MWI)                                                                              \
  X(GetAxisStatus_MWI)                                                                             \
  X(GetError_MWI)                                                                                  \
  X(GetErrorString_MWI)                                                                            \
  X(GetEvent_MWI)                                                                                  \
  X(GetHomeState_MWI)                                                                              \
  X(GetHomeType_MWI)                                                                               \
  X(GetIsJoystickEnabled_MWI)                                                                      \
  X(GetLabel_MWI)                                                                                  \
  X(GetNodeId_MWI)                                                                                 \
  X(GetPitch_MWI)                                                                                  \
  X(GetStatus_MWI)                                                                                 \
  X(GetTravelMax_MWI)                                                                              \
  X(GetTravelMin_MWI)                                                                              \
  X(GetTravelZero_MWI)                                                                             \
  X(GetVelocity_MWI)                                                                               \
  X(HasEvent_MWI)                                                                                  \
  X(InitMotionWrapperInterface_MWI)                                                                \
  X(Move_MWI)                                                                                      \
  X(OpenComm_MWI)                                                                                  \
  X(SetAcceleration_MWI)                                                                           \
  X(SetMoveMode_MWI)                                                                               \
  X(SetPositionReport_MWI)                                                                         \
  X(SetVelocity_MWI)                                                                               \
  X(Stop_MWI)                                                                                      \
  X(StopAxis_MWI)

#define MC_MWI_POSITION_PAIR_ENTRY_POINTS(X)                                                       \
  X(GetActualPosition_MWI)                                                                         \
  X(GetCommandedPosition_MWI)

#define MC_MWI_CAN_EVENT_ENTRY_POINTS(X)                                                           \
  X(RegisterCanEvents_MWI)                                                                         \
  X(UnregisterCanEvents_MWI)

#define MC_MWI_CLOSED_LOOP_ENTRY_POINTS(X)                                                         \
  X(DmiReset_MWI)                                                                                  \
  X(GetDmiCaptureBufferSize_MWI)                                                                   \
  X(GetDmiCaptureBuffer_MWI)                                                                       \
  X(GetDmiPosition_MWI)                                                                            \
  X(GetDmiPreset_MWI)                                                                              \
  X(GetDmiStatus_MWI)                                                                              \
  X(GetExternalClosedLoopAmplifierFault_MWI)                                                       \
  X(GetExternalClosedLoopEnabled_MWI)                                                              \
  X(GetIsDmiBufferReady_MWI)                                                                       \
  X(GetSupportsExternalClosedLoop_MWI)                                                             \
  X(SetDmiCaptureTrigger_MWI)                                                                      \
  X(SetDmiPreset_MWI)                                                                              \
  X(SetExternalClosedLoopEnabled_MWI)

// Every slot of the table, GetPosition_MWI and the single optional ones
// included.
#define MC_MWI_ALL_ENTRY_POINTS(X)                                                                 \
  MC_MWI_REQUIRED_ENTRY_POINTS(X)                                                                  \
  X(GetPosition_MWI)                                                                               \
  MC_MWI_POSITION_PAIR_ENTRY_POINTS(X)                                                             \
  MC_MWI_CAN_EVENT_ENTRY_POINTS(X)                                                                 \
  MC_MWI_CLOSED_LOOP_ENTRY_POINTS(X)                                                               \
  X(SetAlignViewIndicator_MWI)                                                                     \
  X(GetConfigurationFile_MWI)

// The entry-point table: one slot per entry point, empty (null) while no
// library is bound.
#define MC_MWI_SLOT(name) name##_fn name;
typedef struct mc_mwi_table {
  MC_MWI_ALL_ENTRY_POINTS(MC_MWI_SLOT)
} mc_mwi_table;
#undef MC_MWI_SLOT

FERRY_API extern mc_mwi_table mc_mwi;

// True while a library is bound (between a successful mc_mwi_bind and the
// next mc_mwi_clear or mc_mwi_unbind).
FERRY_API bool mc_mwi_is_bound(void);

// Loads MotionWrapperInterface.dll and binds the table: 0, ERR_CVX_NO_DLL
// when the library cannot be loaded, ERR_CVX_FUNCTION_MAP when a required
// entry point or the position form is missing (each is reported). A
// library bound before is unloaded first. A failure leaves nothing loaded
// and the table empty.
//
// Binding and unbinding change the table that other threads read: call
// them while no thread calls through it.
FERRY_API u_err_t mc_mwi_bind(void);

// Empties every slot; the library stays loaded until the next bind or
// unbind.
FERRY_API void mc_mwi_clear(void);

// Empties every slot and unloads the library.
FERRY_API void mc_mwi_unbind(void);

#ifdef __cplusplus
}
#endif
