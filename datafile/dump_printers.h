#pragma once
// Diagnostic dumps of the measurement and analysis records, of fit and
// statistics results, of region lists and coefficient tables, and a general
// byte dump, each written to a stream the caller names.
//
// Every line goes through u_msg_file (formatted print, then flush). A
// missing record prints "NULL\n" and nothing else, except for the
// coefficient table and the fiducial fit, which print nothing; a missing
// array (regions, bytes) prints nothing.
//
// The records list the fields the printers show, in their order; the
// meaning of the values belongs to the code that fills them.

#include <stdint.h>
#include <stdio.h>

#include "datafile/lists.h"
#include "datafile/matrix.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct acquire_params {
  int32_t mask;
  int32_t n_buckets;
  int16_t ramp_mux;
  uint8_t ramp_cal;
  int16_t ramp_gain;
  int16_t ramp_gain_dflt;
  int16_t sfac_limit;
  double target_intens;
  double target_range;
  uint8_t sw_llc;
  int32_t light_level;
  int32_t min_mod;
  int32_t min_mod_count;
  int32_t n_sat_skip;
  int32_t n_bright_skip;
  uint8_t do_avg;
  int16_t avg_count;
  uint8_t avg_keep_sat;
  uint8_t awm_enable;
} acquire_params;

typedef struct analysis_params {
  int8_t algorithm;
  int8_t type;
  int8_t phase_res; // 0 LO, 1 HI, 2 SUPER
  int32_t min_area_pixels;
  int32_t max_area_pixels;
  float pre_filter;
  int32_t discon_action;
  float discon_filter;
  float noise_thresh;
  uint8_t order_by_size;
  const mask_matrix *ref_mask;
} analysis_params;

enum surface_fit_type { SURFACE_PISTON = 0, SURFACE_PLANE, SURFACE_SPHERE, SURFACE_CYLINDER };

typedef struct surface_fit {
  int32_t type;
  double offset;
  double x_coef;
  double y_coef;
  double x2y2_coef;
  double xy_coef;
  double x2_coef;
  double y2_coef;
  int16_t center_x;
  int16_t center_y;
} surface_fit;

typedef struct fit_terms {
  double pst_offset;
  double pln_offset, pln_x_coef, pln_y_coef;
  double sph_offset, sph_x_coef, sph_y_coef, sph_x2y2_coef;
  double cyl_offset, cyl_x_coef, cyl_y_coef, cyl_xy_coef, cyl_x2_coef, cyl_y2_coef;
} fit_terms;

enum profile_fit_type { PROFILE_PISTON = 0, PROFILE_LINE, PROFILE_PARABOLA };

typedef struct profile_fit {
  int32_t type;
  double offset;
  double x_coef;
  double x2_coef;
  double x3_coef;
  double x4_coef;
  int32_t x0, y0, x1, y1, x2, y2, xn, yn;
  int32_t length;
  int32_t npoints;
} profile_fit;

typedef struct stats {
  int32_t pv;
  int32_t peak;
  int32_t valley;
  double mean;
  int16_t peak_x, peak_y;
  int16_t valley_x, valley_y;
  int32_t npoints;
} stats;

enum { COEF_SET_MAX = 37 };

typedef struct coef_set {
  int16_t count; // coefficients in use, at most COEF_SET_MAX
  double coefs[COEF_SET_MAX];
  int16_t center_x;
  int16_t center_y;
  int32_t radius2;
} coef_set;

// One region of a region list; the records lie 40 bytes apart, the bytes
// after ymax belong to the region finder.
typedef struct region_info {
  int32_t npoints;
  int32_t region;
  uint16_t dist;
  int16_t xmin, ymin, xmax, ymax;
  uint8_t reserved[22];
} region_info;

enum { COEF_TABLE_ROWS = 30, COEF_TABLE_COLUMNS = 4 };

// 121 values: four columns of 30, then unity.
typedef struct coef_table {
  double columns[COEF_TABLE_COLUMNS][COEF_TABLE_ROWS];
  double unity;
} coef_table;

typedef struct fiducial_fit {
  double Asin, Acos;
  double r1, r2, r3, r4;
  double xoff, yoff;
  double pverr, rmserr;
  int32_t nfids;
} fiducial_fit;

// Notations of bytes_dump.
enum bytes_notation { BYTES_DECIMAL = 0, BYTES_HEX = 1, BYTES_OCTAL = 2, BYTES_BINARY = 3 };

FERRY_API void acquire_params_dump(FILE *stream, const acquire_params *p);
FERRY_API void analysis_params_dump(FILE *stream, const analysis_params *p);
FERRY_API void surface_fit_dump(FILE *stream, const surface_fit *f);
FERRY_API void fit_terms_dump(FILE *stream, const fit_terms *t);
FERRY_API void profile_fit_dump(FILE *stream, const profile_fit *f);
FERRY_API void stats_dump(FILE *stream, const stats *s);
FERRY_API void coef_set_dump(FILE *stream, const coef_set *c);
// The list's pairs; a value equal to the largest finite float prints as
// asterisks.
FERRY_API void value_pairs_dump(FILE *stream, const list8 *pairs);
// One line per region; returns the number of regions printed.
FERRY_API int32_t regions_dump(FILE *stream, const region_info *regions, int32_t count);
FERRY_API void coef_table_dump(FILE *stream, const coef_table *t);
FERRY_API void fiducial_fit_dump(FILE *stream, const fiducial_fit *f);
// Ten bytes a line after a five-column index; returns the bytes printed.
FERRY_API int32_t bytes_dump(FILE *stream, const void *bytes, int32_t count, int32_t notation);

// Text functions: each returns a static buffer that its next call (and, for
// the hexadecimal images, the next call of any of them) overwrites.
FERRY_API const char *phase_res_name(int32_t code);
// "0x" and two upper-case digits per byte, from bytes moving by step (which
// may be negative); "0x*" when more than 48 bytes are asked for.
FERRY_API const char *hex_image(const void *bytes, int32_t count, int32_t step);
// The value's bytes from the most significant to the least.
FERRY_API const char *float_hex_image(float value);
FERRY_API const char *double_hex_image(double value);

#ifdef __cplusplus
}
#endif
