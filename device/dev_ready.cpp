// The readiness tests of the device types, and the slot through which the
// CAN module hands in the test of its event source.

#include <atomic>

#include "device/dev_cntrl_internal.h"
#include "motion/motion_wrapper.h"
#include "platform/serial.h"

namespace {

// Filled by the CAN module, which lives above this one.
std::atomic<dev_ready_fn> can_event_test{nullptr};

// Bytes waiting on the port and no line error. The device handle is the
// port's handle; the owner's port record is not touched, since the owner
// uses it on its own thread.
bool serial_input_ready(int64_t handle, void *) {
  return plat_serial_input_ready(handle);
}

// The owner's event is signalled. Reset at once, so that the signal is
// reported once; a signal that comes between the two merges with this one,
// as a second signal of a signalled event always does.
bool owner_event_ready(int64_t, void *owner) {
  plat_event *event = static_cast<dev_owner *>(owner)->event;
  if (plat_event_wait(event, 0) != PLAT_WAIT_SIGNALLED)
    return false;
  plat_event_reset(event);
  return true;
}

bool mwi_event_ready(int64_t, void *owner) {
  HasEvent_MWI_fn has_event = mc_mwi.HasEvent_MWI;
  return has_event && has_event(static_cast<dev_owner *>(owner)->connection) != 0;
}

u_err_t choose_owner_test(const dev_owner *owner, dev_ready_fn *test) {
  if (!owner)
    return ERR_INVALID_PARAM;
  switch (owner->comm) {
  case DEV_COMM_SERIAL:
    *test = serial_input_ready;
    return ERR_NONE;
  case DEV_COMM_EVENT:
    if (!owner->event)
      return ERR_INVALID_PARAM;
    *test = owner_event_ready;
    return ERR_NONE;
  case DEV_COMM_MWI:
    // Never a call through an empty slot of an unbound library.
    if (!mc_mwi_is_bound() || !mc_mwi.HasEvent_MWI)
      return ERR_MC_NOT_AVAIL;
    *test = mwi_event_ready;
    return ERR_NONE;
  default:
    return ERR_MC_NOT_AVAIL;
  }
}

} // namespace

namespace ferry::device {

u_err_t choose_ready_test(int32_t type, void *owner, dev_ready_fn *test) {
  *test = nullptr;
  switch (type) {
  case DEV_TYPE_OWNER:
    return choose_owner_test(static_cast<const dev_owner *>(owner), test);
  case DEV_TYPE_NONE:
    return ERR_NONE;
  case DEV_TYPE_CAN:
    *test = can_event_test.load();
    return *test ? ERR_NONE : ERR_DEV_CNTRL;
  default: // 2, 4, 8, 16
    *test = serial_input_ready;
    return ERR_NONE;
  }
}

} // namespace ferry::device

extern "C" void dev_set_can_event_test(dev_ready_fn test) {
  can_event_test.store(test);
}
