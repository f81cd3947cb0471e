// Readiness of a serial port for a thread that does not own it, and the
// line errors that such a test takes from the driver on the owner's behalf.
//
// ClearCommError is the only way to learn the input queue's count, and it
// clears the driver's error bits as it reports them. Errors seen here are
// therefore parked per handle and handed to the owner by its next status
// report, so the owner sees every error, at worst one report late.

#include "platform/serial.h"

#include <windows.h>

#include <mutex>

namespace {

struct ParkedErrors {
  intptr_t handle;
  uint32_t errors;
};

// At most ten devices are registered at a time; errors parked for a port
// whose owner closed it before asking are never taken, so when every slot
// is held the slots are reused in turn.
constexpr int parked_slots = 16;

struct Parking {
  std::mutex lock;
  ParkedErrors slots[parked_slots] = {};
  int next = 0;
};

// Never destroyed: the worker may test a port while the process ends.
Parking &parking() {
  static Parking *record = new Parking;
  return *record;
}

void park(intptr_t handle, uint32_t errors) {
  Parking &p = parking();
  std::lock_guard guard(p.lock);
  for (ParkedErrors &slot : p.slots)
    if (slot.handle == handle) {
      slot.errors |= errors;
      return;
    }
  for (ParkedErrors &slot : p.slots)
    if (slot.handle == 0) {
      slot = ParkedErrors{handle, errors};
      return;
    }
  ParkedErrors &slot = p.slots[p.next];
  p.next = (p.next + 1) % parked_slots;
  slot = ParkedErrors{handle, errors};
}

} // namespace

extern "C" {

bool plat_serial_input_ready(int64_t handle) {
  if (handle == 0 || handle == -1)
    return false;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), &errors, &stat))
    return false;
  if (errors != 0) {
    park(static_cast<intptr_t>(handle), errors);
    return false;
  }
  return stat.cbInQue > 0;
}

uint32_t plat_serial_take_parked_errors(intptr_t handle) {
  Parking &p = parking();
  std::lock_guard guard(p.lock);
  for (ParkedErrors &slot : p.slots)
    if (slot.handle == handle && handle != 0) {
      const uint32_t errors = slot.errors;
      slot = ParkedErrors{};
      return errors;
    }
  return 0;
}

} // extern "C"
