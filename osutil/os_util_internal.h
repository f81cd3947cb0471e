#pragma once
// Pieces of the operating-system utilities that the module's tests reach
// directly.

#include <stddef.h>
#include <stdint.h>

#include "osutil/os_util.h"

#ifdef __cplusplus
extern "C" {
#endif

// The status the volume test gives for a failed volume query, from the
// (Windows-numbered) error of the query.
int u_volume_status(uint32_t sys_error);

// "%d.%d.%d.%d" of the record's version, "%d.%d.%d" when part 4 is
// negative, "" when part 1 is: into a buffer of U_VERSION_TEXT_BYTES.
#define U_VERSION_TEXT_BYTES 48
void u_version_text(const int32_t version[4], char *buffer);

// Forgets the name u_user_name keeps, so that the next call asks the system
// again.
void u_user_name_forget(void);

#ifdef __cplusplus
}
#endif
