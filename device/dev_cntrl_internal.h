#pragma once
// Inside view of the device control table, for the table's own sources and
// its tests.

#include "device/dev_cntrl.h"

namespace ferry::device {

// Chooses the readiness test of a device about to be registered: 0 with
// *test set (none for type 32), or the code that refuses the device.
u_err_t choose_ready_test(int32_t type, void *owner, dev_ready_fn *test);

// Worker threads alive in the process: 1 from the first successful
// dev_init_cntrl until dev_close_cntrl, never more.
int live_workers();

} // namespace ferry::device
