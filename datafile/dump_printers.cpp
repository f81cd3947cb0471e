#include "datafile/dump_printers.h"
#include "datafile/dump_support_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdio>
#include <span>

#include "base/console.h"

namespace {

// The printers of single records all start the same way.
using ferry::print_null_if_missing;

// A name from a table indexed by a code, "unknown" outside it.
const char *name_or_unknown(std::span<const char *const> names, int32_t code) {
  return code >= 0 && static_cast<size_t>(code) < names.size() ? names[code] : "unknown";
}

constexpr std::array<const char *, 4> surface_fit_names = {"piston", "plane", "sphere", "cylinder"};
constexpr std::array<const char *, 3> profile_fit_names = {"piston", "line", "parabola"};
constexpr std::array<const char *, 3> phase_res_names = {"LO", "HI", "SUPER"};

// "0x", 48 bytes of two digits each, and the terminator.
constexpr int hex_image_max_bytes = 48;
char hex_buffer[2 + 2 * hex_image_max_bytes + 1];
char phase_res_buffer[32];

// The bytes of a value from the most significant to the least.
template <typename T> const char *value_hex_image(T value) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
  if constexpr (std::endian::native == std::endian::little)
    return hex_image(bytes + sizeof(T) - 1, sizeof(T), -1);
  else
    return hex_image(bytes, sizeof(T), 1);
}

// One value of a value pair: the number, or asterisks when it is missing
// (the largest finite float marks it).
void print_pair_value(FILE *stream, float value, const char *number_format,
                      const char *missing_format) {
  static constexpr const char *asterisks = "********************";
  if (value < FLT_MAX)
    u_msg_file(stream, number_format, static_cast<double>(value));
  else
    u_msg_file(stream, missing_format, asterisks);
}

void print_byte_cell(FILE *stream, unsigned char byte, int32_t notation) {
  static constexpr std::array<const char *, 3> formats = {" %3d", " %2.2x", " %3.3o"};
  if (notation >= 0 && static_cast<size_t>(notation) < formats.size()) {
    std::fprintf(stream, formats[notation], byte);
  } else if (notation == BYTES_BINARY) {
    std::fprintf(stream, " ");
    for (int bit = 7; bit >= 0; --bit)
      std::fprintf(stream, "%1d", (byte >> bit) & 1);
  }
}

} // namespace

extern "C" const char *phase_res_name(int32_t code) {
  const char *name = code >= 0 && static_cast<size_t>(code) < phase_res_names.size()
                         ? phase_res_names[code]
                         : "UNKNOWN";
  std::snprintf(phase_res_buffer, sizeof phase_res_buffer, "%s (%d)", name, code);
  return phase_res_buffer;
}

extern "C" const char *hex_image(const void *bytes, int32_t count, int32_t step) {
  if (count > hex_image_max_bytes) {
    std::snprintf(hex_buffer, sizeof hex_buffer, "0x*");
    return hex_buffer;
  }
  char *out = hex_buffer;
  out += std::snprintf(out, sizeof hex_buffer, "0x");
  const auto *start = static_cast<const unsigned char *>(bytes);
  for (int32_t i = 0; i < count; ++i)
    out += std::snprintf(out, 3, "%2.2X", start[static_cast<ptrdiff_t>(i) * step]);
  return hex_buffer;
}

extern "C" const char *float_hex_image(float value) {
  return value_hex_image(value);
}
extern "C" const char *double_hex_image(double value) {
  return value_hex_image(value);
}

extern "C" void acquire_params_dump(FILE *stream, const acquire_params *p) {
  if (print_null_if_missing(stream, p))
    return;
  u_msg_file(stream, "mask           = %#6.6x\n", static_cast<unsigned>(p->mask));
  u_msg_file(stream, "n_buckets      = %d\n", p->n_buckets);
  u_msg_file(stream, "ramp_mux       = %d\n", p->ramp_mux);
  u_msg_file(stream, "ramp_cal       = %d\n", p->ramp_cal);
  u_msg_file(stream, "ramp_gain      = %d\n", p->ramp_gain);
  u_msg_file(stream, "ramp_gain_dflt = %d\n", p->ramp_gain_dflt);
  u_msg_file(stream, "sfac_limit     = %d\n", p->sfac_limit);
  u_msg_file(stream, "target_intens  = %5.3f\n", p->target_intens);
  u_msg_file(stream, "target_range   = %5.3f\n", p->target_range);
  u_msg_file(stream, "sw_llc         = %d\n", p->sw_llc);
  u_msg_file(stream, "light_level    = %d\n", p->light_level);
  u_msg_file(stream, "min_mod        = %d\n", p->min_mod);
  u_msg_file(stream, "min_mod_count  = %d\n", p->min_mod_count);
  u_msg_file(stream, "n_sat_skip     = %d\n", p->n_sat_skip);
  u_msg_file(stream, "n_bright_skip  = %d\n", p->n_bright_skip);
  u_msg_file(stream, "do_avg         = %d\n", p->do_avg);
  u_msg_file(stream, "avg_count      = %d\n", p->avg_count);
  u_msg_file(stream, "avg_keep_sat   = %d\n", p->avg_keep_sat);
  u_msg_file(stream, "awm_enable     = %d\n", p->awm_enable);
}

extern "C" void analysis_params_dump(FILE *stream, const analysis_params *p) {
  if (print_null_if_missing(stream, p))
    return;
  u_msg_file(stream, "algorithm       = %d\n", p->algorithm);
  u_msg_file(stream, "type            = %d\n", p->type);
  u_msg_file(stream, "phase_res       = %s\n", phase_res_name(p->phase_res));
  u_msg_file(stream, "min_area_pixels = %d\n", p->min_area_pixels);
  u_msg_file(stream, "max_area_pixels = %d\n", p->max_area_pixels);
  u_msg_file(stream, "pre_filter      = %g (%s)\n", static_cast<double>(p->pre_filter),
             float_hex_image(p->pre_filter));
  u_msg_file(stream, "discon_action   = %d\n", p->discon_action);
  u_msg_file(stream, "discon_filter   = %g (%s)\n", static_cast<double>(p->discon_filter),
             float_hex_image(p->discon_filter));
  u_msg_file(stream, "noise_thresh    = %g (%s)\n", static_cast<double>(p->noise_thresh),
             float_hex_image(p->noise_thresh));
  u_msg_file(stream, "order_by_size   = %d\n", p->order_by_size);
  u_msg_file(stream, "ref_mask:[\n");
  mask_matrix_dump(stream, p->ref_mask);
  u_msg_file(stream, "]\n");
}

extern "C" void surface_fit_dump(FILE *stream, const surface_fit *f) {
  if (print_null_if_missing(stream, f))
    return;
  u_msg_file(stream, "type      = %10s\n", name_or_unknown(surface_fit_names, f->type));
  u_msg_file(stream, "offset    = %10.4f\n", f->offset);
  u_msg_file(stream, "x_coef    = %10.4f\n", f->x_coef);
  u_msg_file(stream, "y_coef    = %10.4f\n", f->y_coef);
  u_msg_file(stream, "x2y2_coef = %10.4f\n", f->x2y2_coef);
  u_msg_file(stream, "xy_coef   = %10.4f\n", f->xy_coef);
  u_msg_file(stream, "x2_coef   = %10.4f\n", f->x2_coef);
  u_msg_file(stream, "y2_coef   = %10.4f\n", f->y2_coef);
  u_msg_file(stream, "center_x  = %10d\n", f->center_x);
  u_msg_file(stream, "center_y  = %10d\n", f->center_y);
}

extern "C" void fit_terms_dump(FILE *stream, const fit_terms *t) {
  if (print_null_if_missing(stream, t))
    return;
  struct Line {
    const char *format;
    double fit_terms::*field;
  };
  static constexpr Line lines[] = {
      {"pst_offset    = %10.4f\n", &fit_terms::pst_offset},
      {"pln_offset    = %10.4f\n", &fit_terms::pln_offset},
      {"pln_x_coef    = %10.4f\n", &fit_terms::pln_x_coef},
      {"pln_y_coef    = %10.4f\n", &fit_terms::pln_y_coef},
      {"sph_offset    = %10.4f\n", &fit_terms::sph_offset},
      {"sph_x_coef    = %10.4f\n", &fit_terms::sph_x_coef},
      {"sph_y_coef    = %10.4f\n", &fit_terms::sph_y_coef},
      {"sph_x2y2_coef = %10.4f\n", &fit_terms::sph_x2y2_coef},
      {"cyl_offset    = %10.4f\n", &fit_terms::cyl_offset},
      {"cyl_x_coef    = %10.4f\n", &fit_terms::cyl_x_coef},
      {"cyl_y_coef    = %10.4f\n", &fit_terms::cyl_y_coef},
      {"cyl_xy_coef   = %10.4f\n", &fit_terms::cyl_xy_coef},
      {"cyl_x2_coef   = %10.4f\n", &fit_terms::cyl_x2_coef},
      {"cyl_y2_coef   = %10.4f\n", &fit_terms::cyl_y2_coef},
  };
  for (const Line &line : lines)
    u_msg_file(stream, line.format, t->*line.field);
}

extern "C" void profile_fit_dump(FILE *stream, const profile_fit *f) {
  if (print_null_if_missing(stream, f))
    return;
  u_msg_file(stream, "type      = %10s\n", name_or_unknown(profile_fit_names, f->type));
  u_msg_file(stream, "offset    = %10.4f\n", f->offset);
  u_msg_file(stream, "x_coef    = %10.4f\n", f->x_coef);
  u_msg_file(stream, "x2_coef   = %10.4f\n", f->x2_coef);
  u_msg_file(stream, "x3_coef   = %10.4f\n", f->x3_coef);
  u_msg_file(stream, "x4_coef   = %10.4f\n", f->x4_coef);
  u_msg_file(stream, "x0        = %10d\n", f->x0);
  u_msg_file(stream, "y0        = %10d\n", f->y0);
  u_msg_file(stream, "x1        = %10d\n", f->x1);
  u_msg_file(stream, "y1        = %10d\n", f->y1);
  u_msg_file(stream, "x2        = %10d\n", f->x2);
  u_msg_file(stream, "y2        = %10d\n", f->y2);
  u_msg_file(stream, "xn        = %10d\n", f->xn);
  u_msg_file(stream, "yn        = %10d\n", f->yn);
  u_msg_file(stream, "length    = %10d\n", f->length);
  u_msg_file(stream, "npoints   = %10d\n", f->npoints);
}

extern "C" void stats_dump(FILE *stream, const stats *s) {
  if (print_null_if_missing(stream, s))
    return;
  u_msg_file(stream, "pv       = %8d\n", s->pv);
  u_msg_file(stream, "peak     = %8d\n", s->peak);
  u_msg_file(stream, "valley   = %8d\n", s->valley);
  u_msg_file(stream, "mean     = %8g\n", s->mean);
  u_msg_file(stream, "peak_x   = %8d\n", s->peak_x);
  u_msg_file(stream, "peak_y   = %8d\n", s->peak_y);
  u_msg_file(stream, "valley_x = %8d\n", s->valley_x);
  u_msg_file(stream, "valley_y = %8d\n", s->valley_y);
  u_msg_file(stream, "npoints  = %8d\n", s->npoints);
}

extern "C" void coef_set_dump(FILE *stream, const coef_set *c) {
  if (print_null_if_missing(stream, c))
    return;
  // A count beyond the array would print whatever follows it.
  const int count = std::clamp<int>(c->count, 0, COEF_SET_MAX);
  for (int i = 0; i < count; ++i)
    u_msg_file(stream, "coef[%2d] = %10.4f\n", i, c->coefs[i]);
  u_msg_file(stream, "center_x = %3d\n", c->center_x);
  u_msg_file(stream, "center_y = %3d\n", c->center_y);
  u_msg_file(stream, "radius2  = %d\n", c->radius2);
}

extern "C" void value_pairs_dump(FILE *stream, const list8 *pairs) {
  if (print_null_if_missing(stream, pairs))
    return;
  // Only pairs the buffer really holds: a list whose alloc failed keeps the
  // count it asked for but has no data.
  int64_t held = pairs->data ? std::min<int64_t>(pairs->count, pairs->capacity) : 0;
  for (int64_t i = 0; i < held; ++i) {
    print_pair_value(stream, pairs->data[i].first, "%20.4f", "%20.20s");
    print_pair_value(stream, pairs->data[i].second, "     %20.4f\n", "     %20.20s\n");
  }
}

extern "C" int32_t regions_dump(FILE *stream, const region_info *regions, int32_t count) {
  if (!regions)
    return 0;
  for (int32_t i = 0; i < count; ++i) {
    const region_info &r = regions[i];
    u_msg_file(stream, "region=%3d  npoints=%5d  xmin=%3d  ymin=%3d  xmax=%3d  ymax=%3d  dist=%3d",
               r.region, r.npoints, r.xmin, r.ymin, r.xmax, r.ymax, r.dist);
    u_msg_file(stream, "\n");
  }
  return count;
}

extern "C" void coef_table_dump(FILE *stream, const coef_table *t) {
  // The table and fiducial printers have never printed a NULL line; a
  // missing record prints nothing at all.
  if (!t)
    return;
  u_msg_file(stream, "unity  = %6.0f\n", t->unity);
  for (int i = 0; i < COEF_TABLE_ROWS; ++i)
    u_msg_file(stream, "%2d  %10.4f %10.4f %10.4f %10.4f\n", i, t->columns[0][i], t->columns[1][i],
               t->columns[2][i], t->columns[3][i]);
}

extern "C" void fiducial_fit_dump(FILE *stream, const fiducial_fit *f) {
  if (!f)
    return;
  u_msg_file(stream, "Asin  = %g\n", f->Asin);
  u_msg_file(stream, "Acos  = %g\n", f->Acos);
  u_msg_file(stream, "r1    = %g\n", f->r1);
  u_msg_file(stream, "r2    = %g\n", f->r2);
  u_msg_file(stream, "r3    = %g\n", f->r3);
  u_msg_file(stream, "r4    = %g\n", f->r4);
  u_msg_file(stream, "xoff  = %g\n", f->xoff);
  u_msg_file(stream, "yoff  = %g\n", f->yoff);
  u_msg_file(stream, "pverr = %g\n", f->pverr);
  u_msg_file(stream, "rmserr= %g\n", f->rmserr);
  u_msg_file(stream, "nfids = %d\n", f->nfids);
}

extern "C" int32_t bytes_dump(FILE *stream, const void *bytes, int32_t count, int32_t notation) {
  if (!bytes)
    return 0;
  constexpr int32_t per_line = 10;
  const auto *at = static_cast<const unsigned char *>(bytes);
  for (int32_t i = 0; i < count; ++i) {
    if (i % per_line == 0)
      std::fprintf(stream, "%5d", i);
    print_byte_cell(stream, at[i], notation);
    if ((i + 1) % per_line == 0 || i + 1 == count)
      u_msg_file(stream, "\n");
  }
  return count;
}
