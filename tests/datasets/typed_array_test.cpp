#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "datafile/typed_array.h"
#include "support/test_support.h"

namespace {

using ferry::test::expect_no_leak_under_oom;
using ferry::test::FailingAllocator;

template <typename T> std::vector<unsigned char> bytes_of(T value) {
  std::vector<unsigned char> out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

struct TypeCase {
  uint32_t type;
  std::vector<unsigned char> marker;
};

// Each type code with the marker its elements use for "no value".
std::vector<TypeCase> type_cases() {
  return {
      {0, bytes_of<int8_t>(0x7F)},          {1, bytes_of<uint8_t>(0xFF)},
      {2, bytes_of<int16_t>(0x7FFF)},       {3, bytes_of<uint16_t>(0xFFFF)},
      {4, bytes_of<int32_t>(0x7FFFFFFF)},   {5, bytes_of<uint32_t>(0xFFFFFFFFu)},
      {6, bytes_of<int32_t>(0x7FFFFFFF)},   {7, bytes_of<uint32_t>(0xFFFFFFFFu)},
      {8, bytes_of<uint32_t>(0x7F7FFFFFu)}, {9, bytes_of<double>(HUGE_VAL)},
  };
}

std::vector<unsigned char> marker_of(const void *no_value, size_t size) {
  const auto *p = static_cast<const unsigned char *>(no_value);
  return {p, p + size};
}

bool all_zero(const void *data, size_t bytes) {
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < bytes; ++i)
    if (p[i])
      return false;
  return true;
}

TEST(TypedVector, EveryTypeCodeHasItsSizeAndMarker) {
  FailingAllocator counting;
  for (const TypeCase &c : type_cases()) {
    SCOPED_TRACE(c.type);
    typed_vector *v = typed_vector_create(5, c.type);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, c.type);
    EXPECT_EQ(v->count, 5u);
    EXPECT_EQ(v->length, 5u);
    EXPECT_EQ(v->flag, 0);
    EXPECT_EQ(v->elem_size, c.marker.size());
    EXPECT_EQ(typed_elem_size(c.type), c.marker.size());
    ASSERT_NE(v->no_value, nullptr);
    EXPECT_EQ(marker_of(v->no_value, c.marker.size()), c.marker);
    ASSERT_NE(v->data, nullptr);
    std::memset(v->data, 0x11, v->length * v->elem_size);
    typed_vector_destroy(v);
  }
  EXPECT_EQ(counting.live_blocks(), 0);
}

TEST(TypedVector, FloatMarkersAreTheLargestFloatAndInfinity) {
  typed_vector *f = typed_vector_create(5, 8);
  ASSERT_NE(f, nullptr);
  float fmax;
  std::memcpy(&fmax, f->no_value, sizeof fmax);
  EXPECT_EQ(fmax, FLT_MAX);
  EXPECT_FLOAT_EQ(fmax, 3.4028235e38f);
  typed_vector_destroy(f);

  typed_vector *d = typed_vector_create(1, 9);
  ASSERT_NE(d, nullptr);
  double inf;
  std::memcpy(&inf, d->no_value, sizeof inf);
  EXPECT_TRUE(std::isinf(inf));
  EXPECT_GT(inf, 0);
  typed_vector_destroy(d);
}

TEST(TypedVector, ZeroedCreatorClearsEveryElement) {
  for (const TypeCase &c : type_cases()) {
    typed_vector *v = typed_vector_create_zeroed(33, c.type);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(all_zero(v->data, 33 * c.marker.size())) << c.type;
    EXPECT_EQ(marker_of(v->no_value, c.marker.size()), c.marker);
    typed_vector_destroy(v);
  }
}

TEST(TypedVector, RefusesUnknownTypesAndEmptyCountsLeavingNothing) {
  FailingAllocator counting;
  EXPECT_EQ(typed_vector_create(3, 10), nullptr);
  EXPECT_EQ(typed_vector_create(3, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(typed_vector_create_zeroed(3, 10), nullptr);
  EXPECT_EQ(typed_vector_create(0, 4), nullptr);
  EXPECT_EQ(typed_vector_create_zeroed(0, 4), nullptr);
  EXPECT_EQ(typed_elem_size(10), 0u);
  EXPECT_EQ(counting.live_blocks(), 0);
}

TEST(TypedVector, RefusesACountNoMemoryCanHold) {
  FailingAllocator counting;
  EXPECT_EQ(typed_vector_create(UINT64_MAX / 2, 9), nullptr);
  EXPECT_EQ(counting.live_blocks(), 0);
}

TEST(TypedVector, DestroyOfNoneIsHarmless) {
  typed_vector_destroy(nullptr);
}

TEST(TypedArray2d, RowsPointIntoTheDataOneRowApart) {
  typed_array2d *a = typed_array2d_create(3, 2, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->x, 0);
  EXPECT_EQ(a->y, 0);
  EXPECT_EQ(a->width, 3);
  EXPECT_EQ(a->height, 2);
  EXPECT_EQ(a->count, 6u);
  EXPECT_EQ(a->length, 6u);
  EXPECT_EQ(a->elem_size, 2u);
  EXPECT_EQ(a->type, 2u);
  EXPECT_EQ(a->flag, 0);
  int16_t marker;
  std::memcpy(&marker, a->no_value, sizeof marker);
  EXPECT_EQ(marker, 0x7FFF);
  ASSERT_NE(a->rows, nullptr);
  auto *data = static_cast<unsigned char *>(a->data);
  EXPECT_EQ(a->rows[0], data);
  EXPECT_EQ(static_cast<unsigned char *>(a->rows[1]) - data, 6);
  typed_array2d_destroy(a);
}

TEST(TypedArray2d, EveryTypeCodeAndTheZeroedVariant) {
  FailingAllocator counting;
  for (const TypeCase &c : type_cases()) {
    SCOPED_TRACE(c.type);
    typed_array2d *a = typed_array2d_create_zeroed(5, 4, c.type);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->elem_size, c.marker.size());
    EXPECT_EQ(marker_of(a->no_value, c.marker.size()), c.marker);
    EXPECT_TRUE(all_zero(a->data, 20 * c.marker.size()));
    for (int r = 0; r < 4; ++r)
      EXPECT_EQ(static_cast<unsigned char *>(a->rows[r]) - static_cast<unsigned char *>(a->data),
                static_cast<std::ptrdiff_t>(r * 5 * c.marker.size()));
    // The last row reaches exactly to the end of the data.
    std::memset(a->rows[3], 0x22, 5 * c.marker.size());
    typed_array2d_destroy(a);
  }
  EXPECT_EQ(counting.live_blocks(), 0);
}

TEST(TypedArray2d, RefusesEmptyOversizedShapesAndUnknownTypes) {
  FailingAllocator counting;
  EXPECT_EQ(typed_array2d_create(0, 5, 4), nullptr);
  EXPECT_EQ(typed_array2d_create(5, 0, 4), nullptr);
  EXPECT_EQ(typed_array2d_create(-2, -3, 4), nullptr) << "negative extents multiply to 6";
  EXPECT_EQ(typed_array2d_create(-2, 3, 4), nullptr);
  EXPECT_EQ(typed_array2d_create(40000, 1, 1), nullptr) << "does not fit the 16-bit window";
  EXPECT_EQ(typed_array2d_create(3, 2, 10), nullptr);
  EXPECT_EQ(typed_array2d_create_zeroed(3, 2, 10), nullptr);
  EXPECT_EQ(counting.live_blocks(), 0);
  typed_array2d_destroy(nullptr);
}

TEST(TypedRecords, EveryAllocationMayFailWithoutLeaking) {
  typed_vector *v = nullptr;
  expect_no_leak_under_oom([&] { return (v = typed_vector_create(4, 9)) ? 0 : ERR_NO_MEM; },
                           [&] { typed_vector_destroy(std::exchange(v, nullptr)); });
  expect_no_leak_under_oom([&] { return (v = typed_vector_create_zeroed(4, 3)) ? 0 : ERR_NO_MEM; },
                           [&] { typed_vector_destroy(std::exchange(v, nullptr)); });
  typed_array2d *a = nullptr;
  long needed =
      expect_no_leak_under_oom([&] { return (a = typed_array2d_create(7, 3, 8)) ? 0 : ERR_NO_MEM; },
                               [&] { typed_array2d_destroy(std::exchange(a, nullptr)); });
  EXPECT_EQ(needed, 4) << "record, marker, data and row table";
  expect_no_leak_under_oom(
      [&] { return (a = typed_array2d_create_zeroed(2, 2, 0)) ? 0 : ERR_NO_MEM; },
      [&] { typed_array2d_destroy(std::exchange(a, nullptr)); });
}

} // namespace
