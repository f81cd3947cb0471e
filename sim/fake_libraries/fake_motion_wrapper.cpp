// A stand-in for the motion wrapper library (MotionWrapperInterface.dll): a
// stage of four axes behind one connection. Moves arrive at once; events
// and CAN traffic come from the test through the FakeMwi_ control
// functions. Every variant of the library is built from this source, with
// the entry points it must lack left out by the build.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <type_traits>
#include <utility>

#include "motion/motion_wrapper.h"

namespace {

constexpr int32_t kConnection = 1;
constexpr int32_t kAxes = 4;

// The library's own error numbers.
enum : int32_t { kNotOpen = 1, kBadAxis = 2, kBadArgument = 3 };

struct Axis {
  double position = 0, velocity = 10, acceleration = 100, pitch = 1;
  double travel_min = -50, travel_max = 50, travel_zero = 0;
  double dmi_position = 0, dmi_preset = 0;
  int32_t move_mode = 0, position_report = 0, joystick = 0, homed = 0;
  int32_t closed_loop = 0, capture_trigger = 0;
};

struct Stage {
  bool initialised = false, open = false, estop = false;
  int32_t joystick = 0, position_reports = 0, align_view = 0;
  int32_t last_error = 0;
  Axis axes[kAxes];
  std::deque<std::pair<int32_t, int32_t>> events; // (event, axis)
  mc_mwi_pdo_handler_fn pdo = nullptr;
  mc_mwi_emcy_handler_fn emcy = nullptr;
};

std::mutex stage_lock;
Stage stage;

int32_t failed(int32_t error) {
  stage.last_error = error;
  return error;
}

int32_t check_connection(int32_t connection) {
  return stage.open && connection == kConnection ? 0 : failed(kNotOpen);
}

// The axis, or null with the error noted.
Axis *axis_of(int32_t connection, int32_t axis) {
  if (check_connection(connection))
    return nullptr;
  if (axis < 0 || axis >= kAxes) {
    failed(kBadAxis);
    return nullptr;
  }
  return &stage.axes[axis];
}

// Runs `work` under the stage lock on the axis, or on the open connection;
// the error of a closed connection or an unknown axis instead.
template <typename Work> int32_t with_axis(int32_t connection, int32_t axis, Work work) {
  std::lock_guard guard(stage_lock);
  Axis *a = axis_of(connection, axis);
  return a ? work(*a) : stage.last_error;
}

template <typename Work> int32_t with_connection(int32_t connection, Work work) {
  std::lock_guard guard(stage_lock);
  return check_connection(connection) ? stage.last_error : work();
}

// Hands a value out; no place to put it is a bad argument.
template <typename T> int32_t give(const T &value, T *out) {
  if (!out)
    return failed(kBadArgument);
  *out = value;
  return 0;
}

// Reads or writes one field of an axis or of the stage.
template <typename T> int32_t read_axis(int32_t connection, int32_t axis, T Axis::*field, T *out) {
  return with_axis(connection, axis, [&](Axis &a) { return give(a.*field, out); });
}

template <typename T>
int32_t write_axis(int32_t connection, int32_t axis, T Axis::*field, T value) {
  return with_axis(connection, axis, [&](Axis &a) {
    a.*field = value;
    return 0;
  });
}

template <typename T> int32_t write_stage(int32_t connection, T Stage::*field, T value) {
  return with_connection(connection, [&] {
    stage.*field = value;
    return 0;
  });
}

template <typename T> int32_t read_stage(int32_t connection, T Stage::*field, T *out) {
  return with_connection(connection, [&] { return give(stage.*field, out); });
}

// A fixed answer for an axis that exists.
int32_t axis_constant(int32_t connection, int32_t axis, int32_t value, int32_t *out) {
  return with_axis(connection, axis, [&](Axis &) { return give(value, out); });
}

int32_t copy_text(const char *text, char *buffer, int32_t bytes) {
  if (!buffer || bytes <= 0 || std::strlen(text) >= static_cast<size_t>(bytes))
    return failed(kBadArgument);
  std::memcpy(buffer, text, std::strlen(text) + 1);
  return 0;
}

} // namespace

extern "C" {

int32_t InitMotionWrapperInterface_MWI(void) {
  std::lock_guard guard(stage_lock);
  stage.initialised = true;
  return 0;
}

int32_t CloseMotionWrapperInterface_MWI(void) {
  std::lock_guard guard(stage_lock);
  stage.initialised = stage.open = false;
  return 0;
}

int32_t OpenComm_MWI(const char *configuration, int32_t *connection) {
  std::lock_guard guard(stage_lock);
  if (!stage.initialised)
    return failed(kNotOpen);
  if (!connection)
    return failed(kBadArgument);
  stage.open = true;
  *connection = kConnection;
  return 0;
}

int32_t CloseComm_MWI(int32_t connection) {
  return write_stage(connection, &Stage::open, false);
}

int32_t CheckForEStopEvent_MWI(int32_t connection) {
  std::lock_guard guard(stage_lock);
  return !check_connection(connection) && std::exchange(stage.estop, false) ? 1 : 0;
}

int32_t EnableJoystick_MWI(int32_t connection) {
  return write_stage(connection, &Stage::joystick, 1);
}
int32_t DisableJoystick_MWI(int32_t connection) {
  return write_stage(connection, &Stage::joystick, 0);
}
int32_t GetIsJoystickEnabled_MWI(int32_t connection, int32_t *enabled) {
  return read_stage(connection, &Stage::joystick, enabled);
}
int32_t EnableAxisJoystick_MWI(int32_t connection, int32_t axis) {
  return write_axis(connection, axis, &Axis::joystick, 1);
}
int32_t DisableAxisJoystick_MWI(int32_t connection, int32_t axis) {
  return write_axis(connection, axis, &Axis::joystick, 0);
}
int32_t EnablePositionReports_MWI(int32_t connection) {
  return write_stage(connection, &Stage::position_reports, 1);
}
int32_t DisablePositionReports_MWI(int32_t connection) {
  return write_stage(connection, &Stage::position_reports, 0);
}
int32_t SetPositionReport_MWI(int32_t connection, int32_t axis, int32_t enable) {
  return write_axis(connection, axis, &Axis::position_report, enable);
}

int32_t FindHome_MWI(int32_t connection, int32_t axis) {
  return with_axis(connection, axis, [](Axis &a) {
    a.position = a.travel_zero;
    a.homed = 1;
    return 0;
  });
}

int32_t GetHomeState_MWI(int32_t connection, int32_t axis, int32_t *state) {
  return read_axis(connection, axis, &Axis::homed, state);
}

int32_t GetHomeType_MWI(int32_t connection, int32_t axis, int32_t *type) {
  return axis_constant(connection, axis, 1, type);
}

int32_t Move_MWI(int32_t connection, int32_t axis, double position) {
  return with_axis(connection, axis, [&](Axis &a) {
    if (position < a.travel_min || position > a.travel_max)
      return failed(kBadArgument);
    a.position = position;
    return 0;
  });
}

int32_t GetPosition_MWI(int32_t connection, int32_t axis, double *position) {
  return read_axis(connection, axis, &Axis::position, position);
}
int32_t GetActualPosition_MWI(int32_t connection, int32_t axis, double *position) {
  return read_axis(connection, axis, &Axis::position, position);
}
int32_t GetCommandedPosition_MWI(int32_t connection, int32_t axis, double *position) {
  return read_axis(connection, axis, &Axis::position, position);
}

int32_t Stop_MWI(int32_t connection) {
  return with_connection(connection, [] { return 0; });
}
int32_t StopAxis_MWI(int32_t connection, int32_t axis) {
  return with_axis(connection, axis, [](Axis &) { return 0; });
}

int32_t GetAcceleration_MWI(int32_t connection, int32_t axis, double *value) {
  return read_axis(connection, axis, &Axis::acceleration, value);
}
int32_t SetAcceleration_MWI(int32_t connection, int32_t axis, double value) {
  return write_axis(connection, axis, &Axis::acceleration, value);
}
int32_t GetVelocity_MWI(int32_t connection, int32_t axis, double *value) {
  return read_axis(connection, axis, &Axis::velocity, value);
}
int32_t SetVelocity_MWI(int32_t connection, int32_t axis, double value) {
  return write_axis(connection, axis, &Axis::velocity, value);
}
int32_t SetMoveMode_MWI(int32_t connection, int32_t axis, int32_t mode) {
  return write_axis(connection, axis, &Axis::move_mode, mode);
}
int32_t GetPitch_MWI(int32_t connection, int32_t axis, double *pitch) {
  return read_axis(connection, axis, &Axis::pitch, pitch);
}
int32_t GetTravelMax_MWI(int32_t connection, int32_t axis, double *value) {
  return read_axis(connection, axis, &Axis::travel_max, value);
}
int32_t GetTravelMin_MWI(int32_t connection, int32_t axis, double *value) {
  return read_axis(connection, axis, &Axis::travel_min, value);
}
int32_t GetTravelZero_MWI(int32_t connection, int32_t axis, double *value) {
  return read_axis(connection, axis, &Axis::travel_zero, value);
}

int32_t GetAxisError_MWI(int32_t connection, int32_t axis, int32_t *error) {
  return axis_constant(connection, axis, 0, error);
}
int32_t GetAxisStatus_MWI(int32_t connection, int32_t axis, int32_t *status) {
  return read_axis(connection, axis, &Axis::homed, status);
}
int32_t GetNodeId_MWI(int32_t connection, int32_t axis, int32_t *node) {
  return axis_constant(connection, axis, 10 + axis, node);
}
int32_t GetLabel_MWI(int32_t connection, int32_t axis, char *label, int32_t bytes) {
  static const char *const kLabels[kAxes] = {"X", "Y", "Z", "T"};
  return with_axis(connection, axis,
                   [&](Axis &) { return copy_text(kLabels[axis], label, bytes); });
}

int32_t GetStatus_MWI(int32_t connection, int32_t *status) {
  return read_stage(connection, &Stage::position_reports, status);
}
int32_t GetError_MWI(int32_t connection, int32_t *error) {
  std::lock_guard guard(stage_lock);
  if (!error)
    return kBadArgument;
  *error = stage.last_error;
  return 0;
}
int32_t GetErrorString_MWI(int32_t error, char *text, int32_t bytes) {
  char message[48];
  std::snprintf(message, sizeof message, "fake motion error %d", static_cast<int>(error));
  std::lock_guard guard(stage_lock);
  return copy_text(message, text, bytes);
}

int32_t HasEvent_MWI(int32_t connection) {
  std::lock_guard guard(stage_lock);
  return connection == kConnection && !stage.events.empty() ? 1 : 0;
}

int32_t GetEvent_MWI(int32_t connection, int32_t *event, int32_t *axis) {
  return with_connection(connection, [&] {
    if (!event || !axis || stage.events.empty())
      return failed(kBadArgument);
    std::tie(*event, *axis) = stage.events.front();
    stage.events.pop_front();
    return 0;
  });
}

int32_t RegisterCanEvents_MWI(int32_t connection, mc_mwi_pdo_handler_fn pdo,
                              mc_mwi_emcy_handler_fn emcy) {
  return with_connection(connection, [&] {
    stage.pdo = pdo;
    stage.emcy = emcy;
    return 0;
  });
}

int32_t UnregisterCanEvents_MWI(int32_t connection) {
  std::lock_guard guard(stage_lock);
  stage.pdo = nullptr;
  stage.emcy = nullptr;
  return check_connection(connection) ? stage.last_error : 0;
}

int32_t DmiReset_MWI(int32_t connection, int32_t axis) {
  return write_axis(connection, axis, &Axis::dmi_position, 0.0);
}
int32_t GetDmiCaptureBufferSize_MWI(int32_t connection, int32_t axis, int32_t *count) {
  return axis_constant(connection, axis, 16, count);
}
int32_t GetDmiCaptureBuffer_MWI(int32_t connection, int32_t axis, double *values, int32_t count) {
  return with_axis(connection, axis, [&](Axis &a) {
    if (!values || count < 0)
      return failed(kBadArgument);
    std::fill_n(values, count, a.dmi_position);
    return 0;
  });
}
int32_t GetDmiPosition_MWI(int32_t connection, int32_t axis, double *position) {
  return read_axis(connection, axis, &Axis::dmi_position, position);
}
int32_t GetDmiPreset_MWI(int32_t connection, int32_t axis, double *preset) {
  return read_axis(connection, axis, &Axis::dmi_preset, preset);
}
int32_t SetDmiPreset_MWI(int32_t connection, int32_t axis, double preset) {
  return write_axis(connection, axis, &Axis::dmi_preset, preset);
}
int32_t GetDmiStatus_MWI(int32_t connection, int32_t axis, int32_t *status) {
  return read_axis(connection, axis, &Axis::closed_loop, status);
}
int32_t GetIsDmiBufferReady_MWI(int32_t connection, int32_t axis, int32_t *ready) {
  return read_axis(connection, axis, &Axis::capture_trigger, ready);
}
int32_t SetDmiCaptureTrigger_MWI(int32_t connection, int32_t axis, int32_t trigger) {
  return write_axis(connection, axis, &Axis::capture_trigger, trigger);
}
int32_t GetExternalClosedLoopAmplifierFault_MWI(int32_t connection, int32_t axis, int32_t *fault) {
  return axis_constant(connection, axis, 0, fault);
}
int32_t GetExternalClosedLoopEnabled_MWI(int32_t connection, int32_t axis, int32_t *enabled) {
  return read_axis(connection, axis, &Axis::closed_loop, enabled);
}
int32_t SetExternalClosedLoopEnabled_MWI(int32_t connection, int32_t axis, int32_t enabled) {
  return write_axis(connection, axis, &Axis::closed_loop, enabled);
}
int32_t GetSupportsExternalClosedLoop_MWI(int32_t connection, int32_t axis, int32_t *supported) {
  return axis_constant(connection, axis, 1, supported);
}

int32_t SetAlignViewIndicator_MWI(int32_t connection, int32_t on) {
  return write_stage(connection, &Stage::align_view, on);
}

int32_t GetConfigurationFile_MWI(int32_t connection, char *path, int32_t bytes) {
  return with_connection(connection, [&] { return copy_text("fake_motion.cfg", path, bytes); });
}

// The control functions of the tests.

void FakeMwi_Reset(void) {
  std::lock_guard guard(stage_lock);
  stage = Stage{};
}

// Queues an event for HasEvent_MWI and GetEvent_MWI.
void FakeMwi_PostEvent(int32_t event, int32_t axis) {
  std::lock_guard guard(stage_lock);
  stage.events.emplace_back(event, axis);
}

void FakeMwi_EmergencyStop(void) {
  std::lock_guard guard(stage_lock);
  stage.estop = true;
}

// Passes a PDO or an emergency to the handlers the binding registered, as
// the library's own thread would; 0 when none is registered.
int32_t FakeMwi_SendPdo(uint32_t cob_id, uint32_t second, const uint8_t *data) {
  mc_mwi_pdo_handler_fn pdo;
  {
    std::lock_guard guard(stage_lock);
    pdo = stage.pdo;
  }
  if (!pdo)
    return 0;
  pdo(cob_id, second, data);
  return 1;
}

int32_t FakeMwi_SendEmcy(uint32_t first, uint32_t second, const uint8_t *data, uint8_t value) {
  mc_mwi_emcy_handler_fn emcy;
  {
    std::lock_guard guard(stage_lock);
    emcy = stage.emcy;
  }
  if (!emcy)
    return 0;
  emcy(first, second, data, value);
  return 1;
}

// The align/view indicator as the pendant shows it.
int32_t FakeMwi_AlignView(void) {
  std::lock_guard guard(stage_lock);
  return stage.align_view;
}

} // extern "C"

// The fake must keep the binding's idea of every entry point.
#define FAKE_MWI_SAME_TYPE(name)                                                                   \
  static_assert(std::is_same_v<decltype(&name), name##_fn>, #name " differs from the binding");
MC_MWI_ALL_ENTRY_POINTS(FAKE_MWI_SAME_TYPE)
