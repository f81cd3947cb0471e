#include "tool/ferryinfo/phase_picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/files.h"
#include "platform/files.h"
#include "platform/image.h"
#include "tool/ferryinfo/shown_file.h"

namespace ferry::info {

namespace {

// Evenly spaced stops of the scale; colours between them are mixed.
constexpr Rgb kScale[] = {
    {68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37},
};
constexpr int kSegments = static_cast<int>(std::size(kScale)) - 1;

uint8_t mix(uint8_t a, uint8_t b, double t) {
  return static_cast<uint8_t>(std::lround(a + (b - a) * t));
}

void put_pixel(uint8_t *at, Rgb c) {
  at[0] = c.red;
  at[1] = c.green;
  at[2] = c.blue;
}

// One row of the picture from one row of samples.
void draw_row(const int32_t *samples, int width, int zoom, const PhaseStatistics &s, uint8_t *out) {
  for (int c = 0; c < width; ++c) {
    const Rgb colour = sample_colour(samples[c], s.minimum, s.maximum);
    for (int k = 0; k < zoom; ++k, out += 3)
      put_pixel(out, colour);
  }
}

} // namespace

Rgb scale_colour(double position) {
  const double p = std::clamp(position, 0.0, 1.0) * kSegments;
  const int i = std::min(static_cast<int>(p), kSegments - 1);
  const double t = p - i;
  const Rgb &a = kScale[i], &b = kScale[i + 1];
  return {mix(a.red, b.red, t), mix(a.green, b.green, t), mix(a.blue, b.blue, t)};
}

Rgb sample_colour(int32_t sample, int32_t minimum, int32_t maximum) {
  if (!is_valid_phase(sample))
    return kInvalidColour;
  if (maximum <= minimum)
    return scale_colour(0.5);
  return scale_colour((double(sample) - minimum) / (double(maximum) - minimum));
}

u_err_t draw_phase_map(const phase_matrix &phase, int zoom, Picture &picture) {
  if (zoom < 1 || zoom > kMaxZoom)
    return ERR_PARAM_OUT_OF_RANGE;
  const PhaseStatistics stats = phase_statistics(phase);
  if (stats.samples == 0)
    return ERR_NO_DATA;
  picture.width = uint32_t(phase.width) * zoom;
  picture.height = uint32_t(phase.height) * zoom;
  const size_t row_bytes = size_t(picture.width) * 3;
  picture.rgb = HookBuffer<uint8_t>(row_bytes * picture.height);
  if (!picture.rgb)
    return ERR_NO_MEM;
  uint8_t *out = picture.rgb.get();
  for (int r = 0; r < phase.height; ++r) {
    draw_row(phase.matrix + size_t(r) * phase.width, phase.width, zoom, stats, out);
    for (int k = 1; k < zoom; ++k)
      std::memcpy(out + k * row_bytes, out, row_bytes);
    out += zoom * row_bytes;
  }
  return ERR_NONE;
}

// The picture is drawn before the file is opened, so a file without phase
// data or a lack of memory leaves no empty file behind.
u_err_t write_phase_png(const char *path, const phase_matrix &phase, int zoom) {
  Picture picture;
  if (u_err_t err = draw_phase_map(phase, zoom, picture))
    return err;
  ferry::UniqueFile file(path ? u_fopen_path_text(path, "wb") : nullptr);
  if (!file)
    return ERR_CANT_CREATE_FILE;
  if (!plat_png_write_rgb(file.get(), picture.rgb.get(), picture.width, picture.height))
    return ERR_CANT_WRITE_FILE;
  return std::fclose(file.release()) == 0 ? ERR_NONE : ERR_CANT_WRITE_FILE;
}

} // namespace ferry::info
