#pragma once
// The picture of a phase map: each valid sample coloured by where it lies
// between the window's minimum and maximum, each invalid one in a colour
// of its own, the window's first row at the top.

#include <cstdint>

#include "base/errors.h"
#include "base/hooks.h"
#include "datafile/matrix.h"

namespace ferry::info {

struct Rgb {
  uint8_t red, green, blue;
  bool operator==(const Rgb &) const = default;
};

// Samples without valid phase.
inline constexpr Rgb kInvalidColour{0, 0, 0};

// The colour scale from the minimum (position 0) to the maximum (1): dark
// violet, blue, teal, green and yellow, which stays readable in grey and
// to most colour-blind eyes, and never comes near the invalid colour.
Rgb scale_colour(double position);

// The colour of one sample in a window whose valid samples span
// minimum..maximum. A window of one value takes the middle of the scale.
Rgb sample_colour(int32_t sample, int32_t minimum, int32_t maximum);

// Largest zoom: every sample as zoom x zoom pixels.
inline constexpr int kMaxZoom = 16;

struct Picture {
  uint32_t width = 0, height = 0;
  HookBuffer<uint8_t> rgb; // rows top to bottom, 3 bytes a pixel
};

// The picture of the phase window, zoom pixels a sample each way.
// ERR_NO_DATA when the matrix holds no samples; ERR_NO_MEM.
u_err_t draw_phase_map(const phase_matrix &phase, int zoom, Picture &picture);

// Draws the phase map and writes it as a PNG file at path (a byte path, or
// a UTF-16 path after a byte-order mark). ERR_NO_DATA, ERR_NO_MEM,
// ERR_CANT_CREATE_FILE when the file cannot be opened, ERR_CANT_WRITE_FILE
// when the picture does not reach it whole.
u_err_t write_phase_png(const char *path, const phase_matrix &phase, int zoom);

} // namespace ferry::info
