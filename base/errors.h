#pragma once
// Error codes of the library and their names.
//
// Every operation that can fail returns one of these codes; 0 is success.
// The names come from the one list in error_list.inc, so the enumeration
// and the name table can never disagree.

#include <stdint.h>

#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t u_err_t;

enum {
  ERR_NONE = 0,
#define FERRY_ERROR(name, code) name = code,
#include "base/error_list.inc"
#undef FERRY_ERROR
  ERR_LAST_CODE = ERR_ZOOM_TIMEOUT
};

// Name of a code in a shared buffer that the next lookup overwrites:
// "NO_ERROR" for 0, the catalogue name for 1..462, else
// "invalid error number %d".
FERRY_API const char *u_error_name(u_err_t code);
FERRY_API const char *u_error_name_alias(u_err_t code);

// Prints the code's name and a line end through the message hook; 0 prints
// nothing.
FERRY_API void u_error_report(u_err_t code);

// As u_error_report, then ends the process with status 1 (code 0 returns).
FERRY_API void u_error_exit(u_err_t code);

#ifdef __cplusplus
}
#endif
