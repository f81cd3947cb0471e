#pragma once
// Ramp data files and ramp records.
//
// A ramp data file is a 328-byte header followed by nPoints 16-bit samples.
// The header's first 42 words (bytes 0-167) and the samples are big-endian;
// the words from byte 168 on are in the writing machine's order
// (little-endian on every machine that writes them).

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "base/errors.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  RR_RAMP_MAGIC = 0x52414D51, // "RAMQ"
  RR_RAMP_HDR_SIZE = 328,
  RR_RAMP_HDR_SWAPPED_WORDS = 42,
  RR_FILE_NAME_MAX = 80,
  // A ramp's name may be a derived "+" in front of a file name.
  RR_RAMP_NAME_SIZE = RR_FILE_NAME_MAX + 2
};

// Ramp type codes, shared with the ramp configuration file.
enum { RR_TYPE_SWLI = 0, RR_TYPE_PMI = 1, RR_TYPE_PMI_LAST = 15, RR_TYPE_BTW = 17 };

typedef struct rr_ramp_hdr_t {
  int32_t magicNumber;
  int32_t rampType;
  int32_t pztID;
  int32_t rampID;
  int32_t nPoints;
  int32_t rampUp;
  int32_t rampStart;
  int32_t rampLinear;
  int32_t rampEnd;
  float sampleClkFreq; // kHz
  float cameraRate;    // Hz
  int32_t updateRate;
  int32_t grabSkip;
  float rampSlope; // nm per frame
  int32_t trigStartAddr;
  int32_t trigEndAddr;
  int32_t rampGainDflt;
  float rampTriple[3];
  float scanLen; // um
  int32_t polar;
  int32_t offset;
  int32_t nBuckets;
  float rampLin;
  float rampTrim;
  float cameraPClock;
  int32_t cameraHPeriod;
  int32_t cameraVPeriod;
  int32_t cameraInterlace;
  int32_t rampMux;
  int32_t instrBdType;
  int32_t compGain;
  int32_t compFilter;
  int32_t leakage;
  int32_t adcMin;
  int32_t adcMax;
  int32_t adcFirst;
  int32_t adcMid;
  int32_t adcLast;
  float scanCal;
  uint8_t reserved1[4];
  // From here on the words stay in the writing machine's order.
  float fringesPerFrame;
  float objMag;
  int32_t wavelenSelect;
  uint8_t reserved2[16];
  uint8_t spare[132];
} rr_ramp_hdr_t;

// A loaded ramp. The samples (nPoints values) are taken through the memory
// hooks and belong to the record.
typedef struct rr_ramp {
  char fileName[RR_RAMP_NAME_SIZE];
  rr_ramp_hdr_t hdr;
  uint16_t *samples;
  // Ramp library state: hidden from the user, derived from a base ramp,
  // the instrument slot that holds it (-1: none), and its duration in ms.
  int32_t hide;
  int32_t derived;
  int32_t slot;
  double duration_ms;
} rr_ramp;

// The ramp spec of one configuration line (ramps/ramp_config.h).
struct rr_ramp_spec;

// Fills hdr (and *samples when samples is given; a buffer already there is
// released first). A failure leaves no samples.
FERRY_API u_err_t rr_read_ramp_file(const char *path, rr_ramp_hdr_t *hdr, uint16_t **samples);
// Writes hdr (with the magic number) and its nPoints samples.
FERRY_API u_err_t rr_write_ramp_file(const char *path, const rr_ramp_hdr_t *hdr,
                                     const uint16_t *samples);
// Converts the first 42 words between file and machine order in place.
FERRY_API void rr_swap_ramp_hdr(rr_ramp_hdr_t *hdr);
// Lists the header fields (and the samples when given) on stream.
FERRY_API void rr_print_ramp(FILE *stream, const rr_ramp_hdr_t *hdr, const uint16_t *samples,
                             int one_per_line);
// Checks a ramp just read against the instrument; may correct pztID and
// fringesPerFrame. A serial number of -1 means the instrument has no such
// scanner.
FERRY_API u_err_t rr_check_ramp_file(rr_ramp_hdr_t *hdr, const char *file_name, int board_type,
                                     int pifoc_serial, int pzt_serial);
// 0 when a configuration line agrees with its loaded ramp, else
// ERR_INVALID_PARAM.
FERRY_API u_err_t rr_check_ramp_spec(const struct rr_ramp_spec *spec, const rr_ramp *ramp);
// The standard file name of a header, in a process-wide text that the next
// call overwrites.
FERRY_API u_err_t rr_get_std_ramp_filename(const rr_ramp_hdr_t *hdr, const char **name);
// Builds a ramp from a loaded SWLI base ramp and a configuration line.
FERRY_API u_err_t rr_derive_ramp(const rr_ramp *base, rr_ramp *derived,
                                 const struct rr_ramp_spec *spec);
// Resamples the central part of the base scan over the new ramp's trigger
// span and updates the new header's timing.
FERRY_API u_err_t rr_rescale_ramp(const rr_ramp_hdr_t *base_hdr, const uint16_t *base_samples,
                                  rr_ramp_hdr_t *new_hdr, uint16_t *new_samples,
                                  float new_scan_len);

// Releases a ramp's samples and clears its pointer.
FERRY_API void rr_free_ramp_samples(rr_ramp *ramp);

#ifdef __cplusplus
}
#endif
