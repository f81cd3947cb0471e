#pragma once
// Geometry of phase data sets inside the camera frame: mirrors, flips about
// a frame row or column, the bounds of the valid data, and moves.
//
// Everything works in place on the matrix's own buffer and window and
// allocates nothing. Samples of PHASE_INVALID or more count as no valid
// phase; samples invented by a move are exactly PHASE_INVALID. A failing
// operation leaves samples and window as they were.
//
// A missing matrix, a negative extent or a buffer that does not hold the
// window gives ERR_INVALID_PARAM.

#include <stdint.h>

#include "base/errors.h"
#include "datafile/matrix.h"
#include "ferry_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Reverses every row (left to right mirror); the window stays.
FERRY_API u_err_t phase_matrix_mirror_x(phase_matrix *m);

// The same, and the top to bottom flip, restricted to the smallest rectangle
// that holds every valid sample: 0 or ERR_ALL_BAD_DATA.
FERRY_API u_err_t phase_matrix_mirror_x_valid(phase_matrix *m);
FERRY_API u_err_t phase_matrix_flip_y_valid(phase_matrix *m);

// Mirrors the data set about frame column (row) axis inside a frame of the
// given size, moving the window so that the sample at frame column u ends
// at column trunc(2 * axis + 0.0001) - u, clamped into the frame. An axis
// of -1 (after truncation) mirrors in place, -2 within the valid bounds.
// 0, ERR_BAD_PARAM (the window would leave the frame), or the result of the
// valid-bounds mirror.
FERRY_API u_err_t phase_matrix_mirror_x_at(phase_matrix *m, double axis, int32_t frame_width);
FERRY_API u_err_t phase_matrix_flip_y_at(phase_matrix *m, double axis, int32_t frame_height);

// The smallest window holding every valid sample of sub (none: the matrix's
// own window), in frame coordinates. ERR_IMPROPER_WINDOW when sub does not
// lie inside the matrix's window, ERR_ALL_BAD_DATA when it holds no valid
// sample; on failure out is all zero.
FERRY_API u_err_t phase_matrix_valid_bounds(const phase_matrix *m, const window *sub, window *out);

// Moves the window by (dx, dy) inside a frame of frame_width x frame_height.
// A window that would stick out keeps its size and is clamped into the
// frame; its samples keep their frame positions and the places no sample
// reaches become PHASE_INVALID. ERR_BAD_PARAM when the window would lie
// wholly outside the frame (or its origin outside the 16-bit range).
FERRY_API u_err_t phase_matrix_move(phase_matrix *m, int32_t dx, int32_t dy, int32_t frame_width,
                                    int32_t frame_height);

#ifdef __cplusplus
}
#endif
