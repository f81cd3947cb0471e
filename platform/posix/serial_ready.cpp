// Readiness of a serial port for a thread that does not own it.

#include "platform/serial.h"

#include <sys/ioctl.h>

extern "C" {

bool plat_serial_input_ready(int64_t handle) {
  // The handle of an open port is its descriptor plus one.
  if (handle <= 0 || handle > int64_t(1) << 31)
    return false;
  int waiting = 0;
  return ioctl(static_cast<int>(handle - 1), FIONREAD, &waiting) == 0 && waiting > 0;
}

uint32_t plat_serial_take_parked_errors(intptr_t) {
  return 0;
}

} // extern "C"
