#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "datafile/phase_geometry.h"
#include "support/test_support.h"

namespace {

using ferry::test::FailingAllocator;

constexpr int32_t INV = PHASE_INVALID;

// A phase data set whose buffer is exactly as large as its window, so the
// sanitizer catches any access beyond it.
struct DataSet {
  window w{};
  std::vector<int32_t> samples;
  phase_matrix m{};

  DataSet(window win, std::vector<int32_t> values) : w(win), samples(std::move(values)) {
    EXPECT_EQ(samples.size(), static_cast<size_t>(w.width) * static_cast<size_t>(w.height));
    m.size = static_cast<uint32_t>(samples.size());
    m.x = w.x;
    m.y = w.y;
    m.width = w.width;
    m.height = w.height;
    m.matrix = samples.empty() ? nullptr : samples.data();
  }
  window current() const { return {m.x, m.y, m.width, m.height}; }
  int32_t at(int c, int r) const { return samples[static_cast<size_t>(r) * w.width + c]; }
};

// Distinct valid samples, or a pattern with invalid ones mixed in.
std::vector<int32_t> numbered(const window &w) {
  std::vector<int32_t> v(static_cast<size_t>(w.width) * w.height);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = static_cast<int32_t>(i) + 1;
  return v;
}

std::vector<int32_t> patterned(const window &w, uint32_t seed) {
  std::vector<int32_t> v = numbered(w);
  uint32_t state = seed * 2654435761u + 1;
  for (auto &s : v) {
    state = state * 1664525u + 1013904223u;
    switch ((state >> 24) % 5) {
    case 0:
      s = INV;
      break;
    case 1:
      s = INT32_MAX; // above the marker: also no valid phase
      break;
    case 2:
      s = PHASE_INVALID - 1 - s; // just below the marker: valid
      break;
    default:
      s = -s;
    }
  }
  return v;
}

// The frame as a picture: samples stored at their frame positions, every
// other position invalid. Windows may stick out of the frame, so the picture
// takes any coordinate.
class Picture {
public:
  void put(int64_t x, int64_t y, int32_t v) { cells_[{x, y}] = v; }
  int32_t get(int64_t x, int64_t y) const {
    auto it = cells_.find({x, y});
    return it == cells_.end() ? INV : it->second;
  }
  std::vector<int32_t> cut(int64_t x, int64_t y, int w, int h) const {
    std::vector<int32_t> out;
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c)
        out.push_back(get(x + c, y + r));
    return out;
  }

private:
  std::map<std::pair<int64_t, int64_t>, int32_t> cells_;
};

// Where a window of extent n that wants origin p ends up in a frame of size
// f: the nearest place that keeps it inside, or none when it would not
// share a single position with the frame.
std::optional<int64_t> clamped_origin(int64_t p, int n, int64_t f) {
  if (p + n <= 0 || p >= f)
    return std::nullopt;
  return std::max<int64_t>(std::min<int64_t>(p, f - n), p + n > f ? f - n : 0);
}

struct Expected {
  u_err_t result;
  window w;
  std::vector<int32_t> samples;
};

std::string describe(const window &w) {
  std::ostringstream s;
  s << "(" << w.x << "," << w.y << " " << w.width << "x" << w.height << ")";
  return s.str();
}

void expect_result(const DataSet &d, u_err_t result, const Expected &e, const std::string &what) {
  ASSERT_EQ(result, e.result) << what;
  EXPECT_EQ(describe(d.current()), describe(e.w)) << what;
  EXPECT_EQ(d.samples, e.samples) << what;
}

// The move done on a picture: every sample goes dx, dy further, then the
// window is cut out where the frame lets it sit.
Expected reference_move(const DataSet &d, int dx, int dy, int fw, int fh) {
  const window w = d.current();
  auto ox = clamped_origin(int64_t{w.x} + dx, w.width, fw);
  auto oy = clamped_origin(int64_t{w.y} + dy, w.height, fh);
  if (!ox || !oy)
    return {ERR_BAD_PARAM, w, d.samples};
  Picture p;
  for (int r = 0; r < w.height; ++r)
    for (int c = 0; c < w.width; ++c)
      p.put(w.x + dx + c, w.y + dy + r, d.at(c, r));
  window nw{static_cast<int16_t>(*ox), static_cast<int16_t>(*oy), w.width, w.height};
  return {0, nw, p.cut(*ox, *oy, w.width, w.height)};
}

// The mirror about a frame column (row) done on a picture: the sample at u
// goes to trunc(2 * axis + 0.0001) - u.
Expected reference_mirror_at(const DataSet &d, double axis, int frame, bool about_column) {
  const window w = d.current();
  const int64_t t = static_cast<int64_t>(std::trunc(2 * axis + 0.0001));
  const int64_t wanted = about_column ? t - (w.x + w.width - 1) : t - (w.y + w.height - 1);
  auto ox =
      about_column ? clamped_origin(wanted, w.width, frame) : clamped_origin(w.x, w.width, 32767);
  auto oy =
      about_column ? clamped_origin(w.y, w.height, 32767) : clamped_origin(wanted, w.height, frame);
  if (!ox || !oy)
    return {ERR_BAD_PARAM, w, d.samples};
  Picture p;
  for (int r = 0; r < w.height; ++r)
    for (int c = 0; c < w.width; ++c) {
      int64_t u = w.x + c, v = w.y + r;
      p.put(about_column ? t - u : u, about_column ? v : t - v, d.at(c, r));
    }
  window nw{static_cast<int16_t>(*ox), static_cast<int16_t>(*oy), w.width, w.height};
  return {0, nw, p.cut(*ox, *oy, w.width, w.height)};
}

// Bounds of the valid samples by looking at every one of them.
std::optional<window> reference_bounds(const DataSet &d, const window &sub) {
  int x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
  for (int Y = sub.y; Y < sub.y + sub.height; ++Y)
    for (int X = sub.x; X < sub.x + sub.width; ++X)
      if (d.at(X - d.w.x, Y - d.w.y) < PHASE_INVALID) {
        x0 = std::min(x0, X);
        x1 = std::max(x1, X);
        y0 = std::min(y0, Y);
        y1 = std::max(y1, Y);
      }
  if (x0 == INT32_MAX)
    return std::nullopt;
  return window{static_cast<int16_t>(x0), static_cast<int16_t>(y0),
                static_cast<int16_t>(x1 - x0 + 1), static_cast<int16_t>(y1 - y0 + 1)};
}

// Reversal of the samples inside a frame rectangle, the rest untouched.
Expected reference_reverse(const DataSet &d, const window &r, bool columns) {
  std::vector<int32_t> out = d.samples;
  for (int Y = r.y; Y < r.y + r.height; ++Y)
    for (int X = r.x; X < r.x + r.width; ++X) {
      int sx = columns ? r.x + r.x + r.width - 1 - X : X;
      int sy = columns ? Y : r.y + r.y + r.height - 1 - Y;
      out[static_cast<size_t>(Y - d.w.y) * d.w.width + (X - d.w.x)] = d.at(sx - d.w.x, sy - d.w.y);
    }
  return {0, d.current(), out};
}

// Small windows in and around a 7 x 6 frame.
std::vector<window> windows_around_frame() {
  std::vector<window> out;
  for (int16_t x : {-2, 0, 1, 3, 5})
    for (int16_t y : {-1, 0, 2, 4})
      for (int16_t w : {1, 2, 4})
        for (int16_t h : {1, 3})
          out.push_back({x, y, w, h});
  return out;
}

TEST(PhaseMove, WorkedExampleClampsAndInvalidatesTheLeftBehindColumns) {
  DataSet d({0, 0, 4, 1}, {1, 2, 3, 4});
  EXPECT_EQ(phase_matrix_move(&d.m, -2, 0, 100, 100), 0);
  EXPECT_EQ(d.m.x, 0);
  EXPECT_EQ(d.samples, (std::vector<int32_t>{3, 4, INV, INV}));
}

TEST(PhaseMove, InsideTheFrameOnlyTheOriginChanges) {
  DataSet d({3, 2, 2, 2}, {1, 2, 3, 4});
  EXPECT_EQ(phase_matrix_move(&d.m, 4, -2, 10, 10), 0);
  EXPECT_EQ(describe(d.current()), describe({7, 0, 2, 2}));
  EXPECT_EQ(d.samples, (std::vector<int32_t>{1, 2, 3, 4}));
}

TEST(PhaseMove, ClampsOnEverySide) {
  const window w{2, 2, 3, 3};
  // Right, left, bottom, top, and two corners at once.
  const std::pair<int, int> moves[] = {{4, 0}, {-4, 0}, {0, 3}, {0, -3}, {4, 3}, {-3, -4}};
  for (auto [dx, dy] : moves) {
    DataSet d(w, numbered(w));
    Expected e = reference_move(d, dx, dy, 7, 6);
    expect_result(d, phase_matrix_move(&d.m, dx, dy, 7, 6), e,
                  "move " + std::to_string(dx) + "," + std::to_string(dy));
    EXPECT_NE(std::count(d.samples.begin(), d.samples.end(), INV), 0);
  }
}

TEST(PhaseMove, WhollyOutsideTheFrameChangesNothing) {
  const window w{2, 2, 3, 3};
  const std::pair<int, int> moves[] = {{-5, 0}, {5, 0}, {0, -5}, {0, 4}, {-100, 100}};
  for (auto [dx, dy] : moves) {
    DataSet d(w, numbered(w));
    EXPECT_EQ(phase_matrix_move(&d.m, dx, dy, 7, 6), ERR_BAD_PARAM) << dx << "," << dy;
    EXPECT_EQ(describe(d.current()), describe(w));
    EXPECT_EQ(d.samples, numbered(w));
  }
}

TEST(PhaseMove, MatchesThePictureForEverySmallMove) {
  FailingAllocator counting;
  for (const window &w : windows_around_frame())
    for (int dx = -8; dx <= 8; ++dx)
      for (int dy = -7; dy <= 7; ++dy) {
        DataSet d(w, numbered(w));
        Expected e = reference_move(d, dx, dy, 7, 6);
        expect_result(d, phase_matrix_move(&d.m, dx, dy, 7, 6), e,
                      describe(w) + " by " + std::to_string(dx) + "," + std::to_string(dy));
        if (testing::Test::HasFailure())
          return;
      }
  EXPECT_EQ(counting.allocations(), 0) << "geometry must not allocate";
}

TEST(PhaseMove, AWindowWiderThanTheFrameKeepsItsSize) {
  const window w{0, 0, 6, 1};
  for (int dx = -5; dx <= 3; ++dx) {
    DataSet d(w, numbered(w));
    Expected e = reference_move(d, dx, 0, 4, 1);
    expect_result(d, phase_matrix_move(&d.m, dx, 0, 4, 1), e, "dx " + std::to_string(dx));
  }
}

TEST(PhaseMove, RefusesEmptyFramesAndOriginsBeyondSixteenBits) {
  const window w{1, 1, 2, 2};
  DataSet d(w, numbered(w));
  EXPECT_EQ(phase_matrix_move(&d.m, 0, 0, 0, 10), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_move(&d.m, 0, 0, 10, -1), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_move(&d.m, 40000, 0, 100000, 10), ERR_BAD_PARAM);
  EXPECT_EQ(describe(d.current()), describe(w));
  EXPECT_EQ(d.samples, numbered(w));
}

TEST(PhaseMove, ExtremeOffsetsAndFramesAreRefusedUnchanged) {
  const window w{-32768, 32767, 3, 1};
  DataSet d(w, numbered(w));
  EXPECT_EQ(phase_matrix_move(&d.m, INT32_MAX, 0, INT32_MAX, INT32_MAX), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_move(&d.m, INT32_MIN, INT32_MIN, 10, 10), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_move(&d.m, 0, INT32_MIN, INT32_MAX, INT32_MAX), ERR_BAD_PARAM);
  EXPECT_EQ(describe(d.current()), describe(w));
  EXPECT_EQ(d.samples, numbered(w));
  // The same window fully inside a frame that reaches it moves normally.
  EXPECT_EQ(phase_matrix_move(&d.m, 65532, -32767, 32767, 10), 0);
  EXPECT_EQ(describe(d.current()), describe({32764, 0, 3, 1}));
  EXPECT_EQ(d.samples, (std::vector<int32_t>{1, 2, 3}));
}

TEST(PhaseMirrorAt, OriginsBeyondSixteenBitsAreRefusedUnchanged) {
  // Inside a frame this wide the mirrored window would start near column
  // 2e9, which no window origin can hold.
  const window w{-32768, 0, 3, 2};
  DataSet d(w, numbered(w));
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, 1e9, INT32_MAX), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_flip_y_at(&d.m, 1e9, INT32_MAX), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, -1e9, INT32_MAX), ERR_BAD_PARAM);
  EXPECT_EQ(describe(d.current()), describe(w));
  EXPECT_EQ(d.samples, numbered(w));
}

TEST(PhaseMirror, ReversesEveryRow) {
  DataSet d({5, 5, 3, 2}, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(phase_matrix_mirror_x(&d.m), 0);
  EXPECT_EQ(d.samples, (std::vector<int32_t>{3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(describe(d.current()), describe({5, 5, 3, 2}));
}

TEST(PhaseMirror, SingleColumnAndSingleRowWindows) {
  DataSet column({0, 0, 1, 4}, {1, 2, 3, 4});
  EXPECT_EQ(phase_matrix_mirror_x(&column.m), 0);
  EXPECT_EQ(column.samples, (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(phase_matrix_mirror_x_valid(&column.m), 0);
  EXPECT_EQ(column.samples, (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(phase_matrix_flip_y_valid(&column.m), 0);
  EXPECT_EQ(column.samples, (std::vector<int32_t>{4, 3, 2, 1}));

  DataSet row({0, 0, 4, 1}, {1, 2, 3, 4});
  EXPECT_EQ(phase_matrix_flip_y_valid(&row.m), 0);
  EXPECT_EQ(row.samples, (std::vector<int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(phase_matrix_flip_y_at(&row.m, -1.0, 100), 0);
  EXPECT_EQ(row.samples, (std::vector<int32_t>{1, 2, 3, 4}));
}

TEST(PhaseMirror, WithinValidBoundsMatchesThePicture) {
  FailingAllocator counting;
  for (const window &w : windows_around_frame())
    for (uint32_t seed = 0; seed < 6; ++seed)
      for (bool columns : {true, false}) {
        DataSet d(w, patterned(w, seed));
        auto bounds = reference_bounds(d, w);
        Expected e = bounds ? reference_reverse(d, *bounds, columns)
                            : Expected{ERR_ALL_BAD_DATA, w, d.samples};
        u_err_t result =
            columns ? phase_matrix_mirror_x_valid(&d.m) : phase_matrix_flip_y_valid(&d.m);
        expect_result(d, result, e,
                      describe(w) + " seed " + std::to_string(seed) + (columns ? " x" : " y"));
      }
  EXPECT_EQ(counting.allocations(), 0);
}

TEST(PhaseMirror, OnlyTheBoundsAreReversed) {
  // Valid samples in columns 1..2 of rows 0..1; column 3 and row 2 stay.
  DataSet d({0, 0, 4, 3}, {INV, 1, 2, INV, INV, 3, INV, INV, INV, INV, INV, 0x7FFFFFFF});
  EXPECT_EQ(phase_matrix_mirror_x_valid(&d.m), 0);
  EXPECT_EQ(d.samples,
            (std::vector<int32_t>{INV, 2, 1, INV, INV, INV, 3, INV, INV, INV, INV, 0x7FFFFFFF}));
  EXPECT_EQ(phase_matrix_flip_y_valid(&d.m), 0);
  EXPECT_EQ(d.samples,
            (std::vector<int32_t>{INV, INV, 3, INV, INV, 2, 1, INV, INV, INV, INV, 0x7FFFFFFF}));
}

TEST(PhaseMirror, AllInvalidDataIsRefusedUntouched) {
  DataSet d({1, 1, 3, 2}, {INV, INV + 1, INT32_MAX, INV, INV + 7, INV});
  const auto before = d.samples;
  EXPECT_EQ(phase_matrix_mirror_x_valid(&d.m), ERR_ALL_BAD_DATA);
  EXPECT_EQ(phase_matrix_flip_y_valid(&d.m), ERR_ALL_BAD_DATA);
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, -2.0, 100), ERR_ALL_BAD_DATA);
  EXPECT_EQ(phase_matrix_flip_y_at(&d.m, -2.5, 100), ERR_ALL_BAD_DATA);
  EXPECT_EQ(d.samples, before);
}

TEST(PhaseMirrorAt, WorkedExampleMovesTheWindowAcrossTheAxis) {
  DataSet d({8, 0, 4, 1}, {1, 2, 3, 4});
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, 10.5, 100), 0);
  EXPECT_EQ(d.m.x, 10);
  EXPECT_EQ(d.samples, (std::vector<int32_t>{4, 3, 2, 1}));
  EXPECT_EQ(d.at(13 - 10, 0), 1) << "the sample of column 8 ends at column 13";
}

TEST(PhaseMirrorAt, SpecialAxesMirrorInPlace) {
  for (double axis : {-1.0, -1.5, -1.99}) {
    DataSet d({20, 3, 3, 1}, {1, 2, 3});
    EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, axis, 10), 0) << axis;
    EXPECT_EQ(d.samples, (std::vector<int32_t>{3, 2, 1}));
    EXPECT_EQ(d.m.x, 20) << "no move, not even into the frame";
  }
  DataSet v({0, 0, 4, 2}, {INV, 1, 2, INV, INV, INV, 3, INV});
  EXPECT_EQ(phase_matrix_mirror_x_at(&v.m, -2.0, 10), 0);
  EXPECT_EQ(v.samples, (std::vector<int32_t>{INV, 2, 1, INV, INV, 3, INV, INV}));
}

TEST(PhaseMirrorAt, MinusAHalfIsAnOrdinaryAxis) {
  DataSet d({0, 0, 3, 1}, {1, 2, 3});
  Expected e = reference_mirror_at(d, -0.5, 10, true);
  expect_result(d, phase_matrix_mirror_x_at(&d.m, -0.5, 10), e, "axis -0.5");
  EXPECT_EQ(d.samples, (std::vector<int32_t>{1, INV, INV}));
}

TEST(PhaseMirrorAt, MatchesThePictureForManyAxes) {
  FailingAllocator counting;
  const double axes[] = {-0.5, 0.0, 0.5, 1.0, 2.5, 2.99995, 3.0, 3.49, 3.5, 5.0, 6.5, 9.0, -3.5};
  for (const window &w : windows_around_frame())
    for (double axis : axes)
      for (bool columns : {true, false}) {
        DataSet d(w, patterned(w, static_cast<uint32_t>(axis * 4 + 20)));
        const int frame = columns ? 7 : 6;
        Expected e = reference_mirror_at(d, axis, frame, columns);
        u_err_t result = columns ? phase_matrix_mirror_x_at(&d.m, axis, frame)
                                 : phase_matrix_flip_y_at(&d.m, axis, frame);
        expect_result(d, result, e,
                      describe(w) + " axis " + std::to_string(axis) + (columns ? " x" : " y"));
        if (testing::Test::HasFailure())
          return;
      }
  EXPECT_EQ(counting.allocations(), 0);
}

TEST(PhaseMirrorAt, RefusedWhenTheWindowWouldLeaveTheFrame) {
  const window w{8, 4, 4, 2};
  DataSet d(w, numbered(w));
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, 100.0, 50), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, -5.0, 50), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_flip_y_at(&d.m, 40.0, 50), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, NAN, 50), ERR_BAD_PARAM);
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, 1e300, 50), ERR_BAD_PARAM);
  EXPECT_EQ(describe(d.current()), describe(w));
  EXPECT_EQ(d.samples, numbered(w));
}

TEST(PhaseMirrorAt, AWindowAboveTheFrameIsNotMirroredWhenTheMoveIsRefused) {
  // Wholly above row 0: the move that follows the mirror must fail, and the
  // mirror must not have happened either.
  const window w{2, -3, 3, 2};
  DataSet d(w, numbered(w));
  EXPECT_EQ(phase_matrix_mirror_x_at(&d.m, 3.0, 50), ERR_BAD_PARAM);
  EXPECT_EQ(d.samples, numbered(w));
  EXPECT_EQ(describe(d.current()), describe(w));
}

TEST(PhaseValidBounds, OfTheWholeWindowAndOfSubWindows) {
  FailingAllocator counting;
  for (const window &w : windows_around_frame())
    for (uint32_t seed = 0; seed < 4; ++seed) {
      DataSet d(w, patterned(w, seed));
      std::vector<window> subs = {w};
      for (int16_t sx = w.x; sx < w.x + w.width; ++sx)
        for (int16_t sy = w.y; sy < w.y + w.height; ++sy)
          subs.push_back({sx, sy, static_cast<int16_t>(w.x + w.width - sx),
                          static_cast<int16_t>(w.y + w.height - sy)});
      for (const window &sub : subs) {
        window out{9, 9, 9, 9};
        u_err_t result = phase_matrix_valid_bounds(&d.m, &sub, &out);
        auto expected = reference_bounds(d, sub);
        std::string what = describe(w) + " sub " + describe(sub);
        if (expected) {
          EXPECT_EQ(result, 0) << what;
          EXPECT_EQ(describe(out), describe(*expected)) << what;
        } else {
          EXPECT_EQ(result, ERR_ALL_BAD_DATA) << what;
          EXPECT_EQ(describe(out), describe({0, 0, 0, 0})) << what;
        }
      }
      window own{};
      window given{};
      u_err_t a = phase_matrix_valid_bounds(&d.m, nullptr, &own);
      u_err_t b = phase_matrix_valid_bounds(&d.m, &w, &given);
      EXPECT_EQ(a, b);
      EXPECT_EQ(describe(own), describe(given)) << "no sub-window means the own window";
    }
  EXPECT_EQ(counting.allocations(), 0);
}

TEST(PhaseValidBounds, SubWindowsNotInsideAreImproper) {
  const window w{10, 20, 4, 3};
  DataSet d(w, numbered(w));
  const window improper[] = {{9, 20, 2, 2},  {10, 19, 2, 2},  {12, 20, 3, 1},
                             {10, 21, 1, 3}, {10, 20, -1, 2}, {100, 100, 1, 1}};
  for (const window &sub : improper) {
    window out{9, 9, 9, 9};
    EXPECT_EQ(phase_matrix_valid_bounds(&d.m, &sub, &out), ERR_IMPROPER_WINDOW) << describe(sub);
    EXPECT_EQ(describe(out), describe({0, 0, 0, 0}));
  }
  window out{};
  const window equal = w;
  EXPECT_EQ(phase_matrix_valid_bounds(&d.m, &equal, &out), 0);
  EXPECT_EQ(describe(out), describe(w));
}

TEST(PhaseValidBounds, AllInvalidGivesAZeroWindow) {
  DataSet d({3, 3, 2, 2}, {INV, INV, INV, INT32_MAX});
  window out{1, 2, 3, 4};
  EXPECT_EQ(phase_matrix_valid_bounds(&d.m, nullptr, &out), ERR_ALL_BAD_DATA);
  EXPECT_EQ(describe(out), describe({0, 0, 0, 0}));
}

TEST(PhaseGeometry, ZeroSizedWindowsDoNothing) {
  DataSet d({4, 4, 0, 3}, {});
  EXPECT_EQ(phase_matrix_mirror_x(&d.m), 0);
  EXPECT_EQ(phase_matrix_mirror_x_valid(&d.m), ERR_ALL_BAD_DATA);
  EXPECT_EQ(phase_matrix_flip_y_valid(&d.m), ERR_ALL_BAD_DATA);
  window out{1, 1, 1, 1};
  EXPECT_EQ(phase_matrix_valid_bounds(&d.m, nullptr, &out), ERR_ALL_BAD_DATA);
  EXPECT_EQ(describe(out), describe({0, 0, 0, 0}));
  EXPECT_EQ(phase_matrix_move(&d.m, 1, 0, 10, 10), 0);
  EXPECT_EQ(d.m.x, 5);
}

TEST(PhaseGeometry, MissingOrShortBuffersAreRefused) {
  window out{};
  EXPECT_EQ(phase_matrix_mirror_x(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_mirror_x_valid(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_flip_y_valid(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_mirror_x_at(nullptr, 3.0, 10), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_flip_y_at(nullptr, 3.0, 10), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_valid_bounds(nullptr, nullptr, &out), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_move(nullptr, 1, 1, 10, 10), ERR_INVALID_PARAM);

  phase_matrix none{0, 0, 0, 2, 2, nullptr};
  EXPECT_EQ(phase_matrix_mirror_x(&none), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_move(&none, 1, 1, 10, 10), ERR_INVALID_PARAM);

  DataSet short_buffer({0, 0, 2, 2}, {1, 2, 3, 4});
  short_buffer.m.height = 3;
  EXPECT_EQ(phase_matrix_flip_y_valid(&short_buffer.m), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_valid_bounds(&short_buffer.m, nullptr, &out), ERR_INVALID_PARAM);

  DataSet negative({0, 0, 2, 2}, {1, 2, 3, 4});
  negative.m.width = -2;
  negative.m.height = -2;
  EXPECT_EQ(phase_matrix_mirror_x(&negative.m), ERR_INVALID_PARAM);
  EXPECT_EQ(phase_matrix_valid_bounds(&negative.m, nullptr, nullptr), ERR_INVALID_PARAM);
}

TEST(PhaseGeometry, FlippingTwiceRestores) {
  const window w{0, 0, 5, 4};
  DataSet d(w, patterned(w, 3));
  const auto before = d.samples;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(phase_matrix_mirror_x(&d.m), 0);
    ASSERT_EQ(phase_matrix_flip_y_at(&d.m, -1.0, 10), 0);
  }
  EXPECT_EQ(d.samples, before);
}

} // namespace
