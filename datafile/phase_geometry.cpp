#include "datafile/phase_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

namespace {

// The frame height (width) that the mirrors about a column (row) pass to the
// move for the axis they leave alone: every row a window can reach.
constexpr int32_t open_frame = std::numeric_limits<int16_t>::max();

// A rectangle in sample indexes, relative to the matrix's first sample.
struct Rect {
  int32_t col, row, cols, rows;
};

// Rows of the matrix addressed straight from the buffer. The addresses are
// the ones a row-pointer table would hold; computing them keeps 256 KiB of
// pointers off the stack of host threads that may not have it.
class Rows {
public:
  explicit Rows(const phase_matrix &m) : m_(m) {}
  int32_t width() const { return m_.width; }
  int32_t height() const { return m_.height; }
  std::span<int32_t> row(int32_t r) const {
    return {m_.matrix + static_cast<size_t>(r) * static_cast<size_t>(m_.width),
            static_cast<size_t>(m_.width)};
  }
  std::span<int32_t> cells(int32_t r, const Rect &rect) const {
    return row(r).subspan(static_cast<size_t>(rect.col), static_cast<size_t>(rect.cols));
  }
  Rect whole() const { return {0, 0, width(), height()}; }

private:
  const phase_matrix &m_;
};

bool is_valid(int32_t sample) {
  return sample < PHASE_INVALID;
}

// The descriptor must exist and its buffer must hold its window.
u_err_t check_matrix(const phase_matrix *m) {
  if (!m || m->width < 0 || m->height < 0)
    return ERR_INVALID_PARAM;
  const uint32_t needed = static_cast<uint32_t>(m->width) * static_cast<uint32_t>(m->height);
  if (needed > 0 && (!m->matrix || m->size < needed))
    return ERR_INVALID_PARAM;
  return ERR_NONE;
}

void reverse_columns(const Rows &rows, const Rect &rect) {
  for (int32_t r = rect.row; r < rect.row + rect.rows; ++r) {
    auto cells = rows.cells(r, rect);
    std::reverse(cells.begin(), cells.end());
  }
}

void reverse_rows(const Rows &rows, const Rect &rect) {
  for (int32_t i = rect.row, j = rect.row + rect.rows - 1; i < j; ++i, --j) {
    auto upper = rows.cells(i, rect);
    std::swap_ranges(upper.begin(), upper.end(), rows.cells(j, rect).begin());
  }
}

// The smallest rectangle inside scan that holds every valid sample.
std::optional<Rect> valid_rect(const Rows &rows, const Rect &scan) {
  auto has_valid = [&](int32_t r) {
    auto cells = rows.cells(r, scan);
    return std::any_of(cells.begin(), cells.end(), is_valid);
  };
  int32_t first_row = scan.row;
  const int32_t end_row = scan.row + scan.rows;
  while (first_row < end_row && !has_valid(first_row))
    ++first_row;
  if (first_row == end_row)
    return std::nullopt;
  int32_t last_row = end_row - 1;
  while (!has_valid(last_row))
    --last_row;
  int32_t first_col = scan.col + scan.cols - 1;
  int32_t last_col = scan.col;
  for (int32_t r = first_row; r <= last_row; ++r) {
    auto cells = rows.cells(r, scan);
    auto first = std::find_if(cells.begin(), cells.end(), is_valid);
    if (first == cells.end())
      continue;
    auto last = std::find_if(cells.rbegin(), cells.rend(), is_valid);
    first_col = std::min(first_col, scan.col + static_cast<int32_t>(first - cells.begin()));
    last_col = std::max(last_col, scan.col + static_cast<int32_t>(cells.rend() - last) - 1);
  }
  return Rect{first_col, first_row, last_col - first_col + 1, last_row - first_row + 1};
}

enum class Axis { x, y };

// Reverses along one axis: the samples of each row (x) or of each column (y).
void reverse_along(Axis axis, const Rows &rows, const Rect &rect) {
  if (axis == Axis::x)
    reverse_columns(rows, rect);
  else
    reverse_rows(rows, rect);
}

// Where a moved window ends up on one axis, and by how much its samples
// shift inside the buffer to keep their frame positions.
struct AxisPlacement {
  int64_t origin;
  int64_t shift;
};

AxisPlacement clamp_axis(int64_t wanted, int32_t extent, int64_t frame) {
  if (wanted + extent > frame)
    return {frame - extent, wanted + extent - frame};
  if (wanted < 0)
    return {0, wanted};
  return {wanted, 0};
}

struct Placement {
  int16_t x, y;
  int32_t shift_x, shift_y;
};

bool fits_int16(int64_t v) {
  return v >= std::numeric_limits<int16_t>::min() && v <= std::numeric_limits<int16_t>::max();
}

// The placement of the window moved by (dx, dy), or none when the move is
// refused (frame empty, window wholly outside it, origin beyond 16 bits).
std::optional<Placement> place_move(const phase_matrix &m, int64_t dx, int64_t dy, int32_t fw,
                                    int32_t fh) {
  if (fw <= 0 || fh <= 0)
    return std::nullopt;
  const int64_t nx = m.x + dx;
  const int64_t ny = m.y + dy;
  if (nx + m.width - 1 < 0 || ny + m.height - 1 < 0 || nx >= fw || ny >= fh)
    return std::nullopt;
  const AxisPlacement px = clamp_axis(nx, m.width, fw);
  const AxisPlacement py = clamp_axis(ny, m.height, fh);
  if (!fits_int16(px.origin) || !fits_int16(py.origin))
    return std::nullopt;
  // Inside the frame a shift is always smaller than the window's extent.
  return Placement{static_cast<int16_t>(px.origin), static_cast<int16_t>(py.origin),
                   static_cast<int32_t>(px.shift), static_cast<int32_t>(py.shift)};
}

// new[row][col] = old[row - sy][col - sx]; places no old sample reaches get
// PHASE_INVALID. Rows are visited so that a source row is read before it is
// overwritten; within a row memmove takes care of the overlap.
void shift_samples(const Rows &rows, int32_t sx, int32_t sy) {
  const int32_t w = rows.width();
  const int32_t h = rows.height();
  const int32_t kept = std::max(0, w - std::abs(sx));
  const int32_t to = sx > 0 ? sx : 0;
  const int32_t from = sx < 0 ? -sx : 0;
  auto invalidate = [](std::span<int32_t> cells) {
    std::fill(cells.begin(), cells.end(), PHASE_INVALID);
  };
  auto move_row = [&](int32_t r) {
    auto dst = rows.row(r);
    const int32_t src = r - sy;
    if (src < 0 || src >= h || kept == 0) {
      invalidate(dst);
      return;
    }
    std::memmove(dst.data() + to, rows.row(src).data() + from,
                 sizeof(int32_t) * static_cast<size_t>(kept));
    invalidate(dst.first(static_cast<size_t>(to)));
    invalidate(dst.subspan(static_cast<size_t>(to + kept)));
  };
  if (sy > 0) {
    for (int32_t r = h - 1; r >= 0; --r)
      move_row(r);
  } else {
    for (int32_t r = 0; r < h; ++r)
      move_row(r);
  }
}

void apply_placement(phase_matrix *m, const Placement &p) {
  if (p.shift_x != 0 || p.shift_y != 0)
    shift_samples(Rows(*m), p.shift_x, p.shift_y);
  m->x = p.x;
  m->y = p.y;
}

u_err_t mirror_valid(phase_matrix *m, Axis axis) {
  if (u_err_t err = check_matrix(m))
    return err;
  const Rows rows(*m);
  const auto bounds = valid_rect(rows, rows.whole());
  if (!bounds)
    return ERR_ALL_BAD_DATA;
  reverse_along(axis, rows, *bounds);
  return ERR_NONE;
}

u_err_t mirror_at(phase_matrix *m, double axis_at, int32_t frame, Axis axis) {
  if (u_err_t err = check_matrix(m))
    return err;
  // Far beyond any frame a 16-bit window can sit in; also keeps the
  // conversions below defined.
  if (!std::isfinite(axis_at) || std::fabs(axis_at) > 1e9)
    return ERR_BAD_PARAM;
  const int64_t k = static_cast<int64_t>(std::trunc(axis_at));
  if (k == -1) {
    reverse_along(axis, Rows(*m), Rows(*m).whole());
    return ERR_NONE;
  }
  if (k == -2)
    return mirror_valid(m, axis);
  const int64_t target = static_cast<int64_t>(std::trunc(2 * axis_at + 0.0001));
  const int64_t origin = axis == Axis::x ? m->x : m->y;
  const int64_t extent = axis == Axis::x ? m->width : m->height;
  const int64_t d = target - 2 * origin - extent + 1;
  // The move is checked before anything changes, so that a refused mirror
  // leaves the data set as it was.
  const auto placement = axis == Axis::x ? place_move(*m, d, 0, frame, open_frame)
                                         : place_move(*m, 0, d, open_frame, frame);
  if (!placement)
    return ERR_BAD_PARAM;
  reverse_along(axis, Rows(*m), Rows(*m).whole());
  apply_placement(m, *placement);
  return ERR_NONE;
}

bool lies_inside(const window &sub, const phase_matrix &m) {
  return sub.width >= 0 && sub.height >= 0 && sub.x >= m.x && sub.y >= m.y &&
         sub.x + sub.width <= m.x + m.width && sub.y + sub.height <= m.y + m.height;
}

} // namespace

extern "C" u_err_t phase_matrix_mirror_x(phase_matrix *m) {
  if (u_err_t err = check_matrix(m))
    return err;
  const Rows rows(*m);
  reverse_columns(rows, rows.whole());
  return ERR_NONE;
}

extern "C" u_err_t phase_matrix_mirror_x_valid(phase_matrix *m) {
  return mirror_valid(m, Axis::x);
}

extern "C" u_err_t phase_matrix_flip_y_valid(phase_matrix *m) {
  return mirror_valid(m, Axis::y);
}

extern "C" u_err_t phase_matrix_mirror_x_at(phase_matrix *m, double axis, int32_t frame_width) {
  return mirror_at(m, axis, frame_width, Axis::x);
}

extern "C" u_err_t phase_matrix_flip_y_at(phase_matrix *m, double axis, int32_t frame_height) {
  return mirror_at(m, axis, frame_height, Axis::y);
}

extern "C" u_err_t phase_matrix_valid_bounds(const phase_matrix *m, const window *sub,
                                             window *out) {
  if (!out)
    return ERR_INVALID_PARAM;
  *out = window{};
  if (u_err_t err = check_matrix(m))
    return err;
  const window scan = sub ? *sub : window{m->x, m->y, m->width, m->height};
  if (!lies_inside(scan, *m))
    return ERR_IMPROPER_WINDOW;
  const Rect rect{scan.x - m->x, scan.y - m->y, scan.width, scan.height};
  const auto bounds = valid_rect(Rows(*m), rect);
  if (!bounds)
    return ERR_ALL_BAD_DATA;
  *out = window{static_cast<int16_t>(m->x + bounds->col), static_cast<int16_t>(m->y + bounds->row),
                static_cast<int16_t>(bounds->cols), static_cast<int16_t>(bounds->rows)};
  return ERR_NONE;
}

extern "C" u_err_t phase_matrix_move(phase_matrix *m, int32_t dx, int32_t dy, int32_t frame_width,
                                     int32_t frame_height) {
  if (u_err_t err = check_matrix(m))
    return err;
  const auto placement = place_move(*m, dx, dy, frame_width, frame_height);
  if (!placement)
    return ERR_BAD_PARAM;
  apply_placement(m, *placement);
  return ERR_NONE;
}
