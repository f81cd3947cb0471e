#pragma once
// The encoded zoom: a zoom changer driven by the focus and ND wheel node
// (64), whose encoder positions map to magnifications through a calibration
// table read from a text file.
//
// The calibration file: a title line, then one line per pair, position and
// magnification, separated by a space, a comma or both; 2 to 100 pairs,
// both columns strictly increasing, positions in [0, FLT_MAX] and
// magnifications in [0.5, 6]; no line longer than 512 characters.

#include <stddef.h>
#include <stdint.h>

#include "base/errors.h"
#include "base/sys_info.h"
#include "ferry_export.h"
#include "platform/file_times.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  KPS_ENC_ZOOM_MIN_PAIRS = 2,
  KPS_ENC_ZOOM_MAX_PAIRS = 100,
  KPS_ENC_ZOOM_LINE_MAX = 512,
  // Oldest node firmware that carries the zoom's objects: 4.3.
  KPS_ENC_ZOOM_FW_MAJOR = 4,
  KPS_ENC_ZOOM_FW_MINOR = 3
};

// The name looked for when none is configured: in the working directory,
// then in the configuration directory (the separator is the system's).
#define KPS_ENC_ZOOM_DEFAULT_CAL_FILE "KPS\\ZoomCal.txt"

typedef struct kps_enc_zoom_pair {
  double position;
  float magnification;
} kps_enc_zoom_pair;

// Pairs taken through the memory hooks.
typedef struct kps_enc_zoom_table {
  int32_t count;
  kps_enc_zoom_pair *pairs;
} kps_enc_zoom_table;

// What the loader keeps for one instrument: the table, the configured name
// it was loaded for, the path it came from and that file's stamp then.
typedef struct kps_enc_zoom_cache {
  kps_enc_zoom_table table;
  char *name;
  char *path;
  plat_file_stamp stamp;
} kps_enc_zoom_cache;

// The zoom set-up at power-on: firmware check, motion mode, soft limits,
// backlash, calibration. 0 without an instrument or with the zoom
// disabled; a calibration file that cannot be found is no failure here.
FERRY_API u_err_t kps_enc_zoom_set_backlash(sys_info *instr);

// 0, or ERR_KPS_ENC_ZOOM_FIRMWARE_VERSION_OLD when node 64 runs firmware
// older than 4.3 (or the code of a failed version read).
FERRY_API u_err_t kps_enc_zoom_check_firmware(sys_info *instr);

// Loads the calibration of a zoom configuration unless the file it came
// from is unchanged (same configured name, same file stamp). Failures are
// composed into message (of message_size bytes, cut to fit) when given:
// ERR_KPS_ENC_ZOOM_CANT_OPEN_CAL_FILE, ERR_KPS_ENC_ZOOM_INVALID_CAL_FILE,
// ERR_NO_MEM; any failure leaves nothing loaded.
FERRY_API u_err_t kps_enc_zoom_load_cal(sys_info_enc_zoom *zoom, char *message,
                                        size_t message_size);

// Reads one calibration file into a new table (free it with
// kps_enc_zoom_free_table); failures as above.
FERRY_API u_err_t kps_enc_zoom_read_cal_file(const char *path, kps_enc_zoom_table *table,
                                             char *message, size_t message_size);

FERRY_API void kps_enc_zoom_free_table(kps_enc_zoom_table *table);
// Forgets a configuration's loaded calibration.
FERRY_API void kps_enc_zoom_free_cal(sys_info_enc_zoom *zoom);

#ifdef __cplusplus
}
#endif
