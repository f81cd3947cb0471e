#pragma once
// Loading an instrument's ramp set: from its ramp configuration file when it
// names one that exists, otherwise from every ramp data file of the ramps
// directory made for one of its scanners.

#include <stddef.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"
#include "ramps/ramp_config.h"
#include "ramps/ramp_file.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { RR_MAX_RAMPS = 254 };

// What the loader needs from the instrument-board layer. Every member may
// be null; a null member behaves as the default (the board reports every
// slot empty, clearing a slot succeeds, external profile ramps are not
// supported).
typedef struct rr_instr_ops {
  // Which ramp identifier each of the 12 slots holds (255: empty).
  u_err_t (*ramp_request)(sys_info *instr, uint8_t ids[SYS_INFO_RAMP_SLOTS]);
  // Clears one slot (0 to 11) in the instrument.
  u_err_t (*ramp_delete)(sys_info *instr, int slot);
  // Nonzero when the instrument plays external profile ramps.
  int (*ext_profile_supported)(const sys_info *instr);
  // Builds the external profile ramp a spec names into ramp (samples
  // through the memory hooks); on failure writes the reason into msg.
  u_err_t (*ext_profile_ramp)(sys_info *instr, const rr_ramp_spec *spec, rr_ramp *ramp, char *msg,
                              size_t msg_size);
} rr_instr_ops;

// Installs the instrument-board operations (null: the defaults). The table
// is copied.
FERRY_API void rr_set_instr_ops(const rr_instr_ops *ops);

// Builds the instrument's ramp table, replacing (and releasing) the old one.
FERRY_API u_err_t rr_get_ramp_info(sys_info *instr);

// Releases the instrument's ramp table and every ramp's samples.
FERRY_API void rr_free_ramp_table(sys_info *instr);

#ifdef __cplusplus
}
#endif
