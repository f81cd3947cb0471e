#pragma once
// The ramp configuration file: one line per ramp the instrument offers.

#include <stdint.h>

#include "base/errors.h"
#include "ferry_export.h"
#include "ramps/ramp_file.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { RR_CONFIG_LINE_MAX = 200, RR_CONFIG_MAX_ERRORS = 20 };

typedef struct rr_ramp_spec {
  int32_t rampType;
  int32_t wavelenSelect; // BTW wavelength index 1 to 4, else 0
  char fileName[RR_FILE_NAME_MAX + 1];
  float scanLen;    // um
  float cameraRate; // Hz
  int32_t cameraInterlace;
  int32_t grabSkip;
  float fringesPerFrame;
  float rampSlope; // nm per frame
  float objMag;
  float scanCal;
  int32_t hide;
} rr_ramp_spec;

// Reads the file's accepted specs into a new array (through the memory
// hooks; the caller releases it with u_free_hook). *specs must be null on
// entry; on failure nothing is handed over.
FERRY_API u_err_t rr_read_ramp_config(const char *path, rr_ramp_spec **specs, int *count);
FERRY_API u_err_t rr_write_ramp_config(const char *path, const rr_ramp_spec *specs, int count);

#ifdef __cplusplus
}
#endif
