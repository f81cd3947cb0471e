#include <gtest/gtest.h>

#include <cstring>

#include "base/hooks.h"
#include "datafile/lists.h"
#include "support/test_support.h"

namespace {

using ferry::test::expect_no_leak_under_oom;
using ferry::test::FailingAllocator;

// The operations of one list type, so that every type runs the same suite.
template <typename L, size_t ElemSize, void (*Init)(L *), u_err_t (*Alloc)(L *),
          u_err_t (*Resize)(L *, int32_t, bool), void (*Free)(L *)>
struct ListOps {
  using List = L;
  static constexpr size_t elem_size = ElemSize;
  static void init(L *l) { Init(l); }
  static u_err_t alloc(L *l) { return Alloc(l); }
  static u_err_t resize(L *l, int32_t n, bool keep) { return Resize(l, n, keep); }
  static void free(L *l) { Free(l); }
};

#define LIST_OPS(name, size)                                                                       \
  ListOps<name, size, name##_init, name##_alloc, name##_resize, name##_free>

template <typename Ops> class ListTest : public ::testing::Test {
protected:
  using List = typename Ops::List;
  List list_{};
  void SetUp() override {
    std::memset(&list_, 0xA5, sizeof list_);
    Ops::init(&list_);
  }
  void TearDown() override { Ops::free(&list_); }
  // Writes every byte the list claims to hold, so the sanitizer sees a
  // buffer that is too small.
  void fill() {
    if (list_.data)
      std::memset(list_.data, 0x5A, list_.capacity * Ops::elem_size);
  }
};

using ListTypes = ::testing::Types<LIST_OPS(list12, 12), LIST_OPS(list12b, 12),
                                   LIST_OPS(list12c, 12), LIST_OPS(list8, 8), LIST_OPS(list8b, 8),
                                   LIST_OPS(list8c, 8), LIST_OPS(list4, 4), LIST_OPS(list4b, 4),
                                   LIST_OPS(list2, 2), LIST_OPS(list1, 1)>;
TYPED_TEST_SUITE(ListTest, ListTypes);

TYPED_TEST(ListTest, InitClearsAndElementsHaveTheirSize) {
  EXPECT_EQ(this->list_.capacity, 0u);
  EXPECT_EQ(this->list_.count, 0);
  EXPECT_EQ(this->list_.data, nullptr);
  EXPECT_EQ(sizeof(*this->list_.data), TypeParam::elem_size);
}

TYPED_TEST(ListTest, AllocTakesTheCountAskedFor) {
  this->list_.count = 7;
  ASSERT_EQ(TypeParam::alloc(&this->list_), 0);
  EXPECT_EQ(this->list_.capacity, 7u);
  EXPECT_EQ(this->list_.count, 7);
  ASSERT_NE(this->list_.data, nullptr);
  this->fill();
}

TYPED_TEST(ListTest, AllocRefusesEmptyAndNegativeCountsChangingNothing) {
  for (int32_t count : {0, -1}) {
    this->list_.count = count;
    this->list_.capacity = 3;
    EXPECT_EQ(TypeParam::alloc(&this->list_), ERR_PARAM_OUT_OF_RANGE) << count;
    EXPECT_EQ(this->list_.capacity, 3u);
    EXPECT_EQ(this->list_.count, count);
    EXPECT_EQ(this->list_.data, nullptr);
  }
  this->list_.capacity = 0;
}

TYPED_TEST(ListTest, ResizeKeepsALargerBufferOnlyWhenAllowed) {
  ASSERT_EQ(TypeParam::resize(&this->list_, 10, false), 0);
  EXPECT_EQ(this->list_.capacity, 10u);
  EXPECT_EQ(this->list_.count, 10);
  this->fill();
  auto *first = this->list_.data;

  ASSERT_EQ(TypeParam::resize(&this->list_, 4, true), 0);
  EXPECT_EQ(this->list_.capacity, 10u);
  EXPECT_EQ(this->list_.count, 4);
  EXPECT_EQ(this->list_.data, first);
  EXPECT_EQ(reinterpret_cast<unsigned char *>(first)[0], 0x5A) << "kept buffer lost its contents";

  ASSERT_EQ(TypeParam::resize(&this->list_, 10, false), 0) << "growing back within capacity";
  EXPECT_EQ(this->list_.data, first);
  EXPECT_EQ(this->list_.count, 10);

  ASSERT_EQ(TypeParam::resize(&this->list_, 4, false), 0);
  EXPECT_EQ(this->list_.capacity, 4u);
  EXPECT_EQ(this->list_.count, 4);
  this->fill();

  ASSERT_EQ(TypeParam::resize(&this->list_, 25, true), 0);
  EXPECT_EQ(this->list_.capacity, 25u);
  EXPECT_EQ(this->list_.count, 25);
  this->fill();
}

TYPED_TEST(ListTest, ResizeToZeroReleasesEverything) {
  FailingAllocator counting;
  ASSERT_EQ(TypeParam::resize(&this->list_, 10, false), 0);
  ASSERT_EQ(TypeParam::resize(&this->list_, 0, true), 0);
  EXPECT_EQ(this->list_.capacity, 0u);
  EXPECT_EQ(this->list_.count, 0);
  EXPECT_EQ(this->list_.data, nullptr);
  EXPECT_EQ(counting.live_blocks(), 0);
}

TYPED_TEST(ListTest, ResizeIgnoresAStaleCapacityWithoutBuffer) {
  this->list_.capacity = 100;
  ASSERT_EQ(TypeParam::resize(&this->list_, 5, true), 0);
  EXPECT_EQ(this->list_.capacity, 5u);
  ASSERT_NE(this->list_.data, nullptr);
  this->fill();
}

TYPED_TEST(ListTest, ResizeRefusesANegativeCount) {
  ASSERT_EQ(TypeParam::resize(&this->list_, 3, false), 0);
  auto *data = this->list_.data;
  EXPECT_EQ(TypeParam::resize(&this->list_, -2, false), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(this->list_.data, data);
  EXPECT_EQ(this->list_.count, 3);
  EXPECT_EQ(this->list_.capacity, 3u);
}

TYPED_TEST(ListTest, FreeClearsAndMayRepeat) {
  FailingAllocator counting;
  this->list_.count = 3;
  ASSERT_EQ(TypeParam::alloc(&this->list_), 0);
  TypeParam::free(&this->list_);
  EXPECT_EQ(this->list_.capacity, 0u);
  EXPECT_EQ(this->list_.count, 0);
  EXPECT_EQ(this->list_.data, nullptr);
  TypeParam::free(&this->list_);
  EXPECT_EQ(counting.live_blocks(), 0);
}

TYPED_TEST(ListTest, FailedAllocationsLeaveNoBufferAndKeepTheCount) {
  FailingAllocator failing;
  failing.fail_at(1);
  this->list_.count = 6;
  EXPECT_EQ(TypeParam::alloc(&this->list_), ERR_NO_MEM);
  EXPECT_EQ(this->list_.capacity, 0u);
  EXPECT_EQ(this->list_.data, nullptr);
  EXPECT_EQ(this->list_.count, 6);

  failing.never_fail();
  ASSERT_EQ(TypeParam::resize(&this->list_, 4, false), 0);
  failing.fail_at(1);
  EXPECT_EQ(TypeParam::resize(&this->list_, 9, true), ERR_NO_MEM);
  EXPECT_EQ(this->list_.capacity, 0u);
  EXPECT_EQ(this->list_.data, nullptr);
  EXPECT_EQ(this->list_.count, 4);
  EXPECT_EQ(failing.live_blocks(), 0);
}

TYPED_TEST(ListTest, EveryAllocationMayFailWithoutLeaking) {
  using List = typename TypeParam::List;
  List l{};
  long needed = expect_no_leak_under_oom(
      [&] {
        TypeParam::init(&l);
        l.count = 3;
        if (u_err_t err = TypeParam::alloc(&l))
          return err;
        if (u_err_t err = TypeParam::resize(&l, 8, true))
          return err;
        if (u_err_t err = TypeParam::resize(&l, 2, false))
          return err;
        return TypeParam::resize(&l, 2, true);
      },
      [&] { TypeParam::free(&l); });
  EXPECT_EQ(needed, 3);
}

TEST(PointerList, AllocGivesEmptySlotsAndFreeReleasesTheItems) {
  FailingAllocator counting;
  pointer_list l{3, nullptr};
  ASSERT_EQ(pointer_list_alloc(&l), 0);
  ASSERT_NE(l.data, nullptr);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(l.data[i], nullptr);
  l.data[0] = u_malloc_hook(16);
  l.data[2] = u_malloc_hook(4);
  EXPECT_EQ(counting.live_blocks(), 3);
  pointer_list_free(&l);
  EXPECT_EQ(l.count, 0);
  EXPECT_EQ(l.data, nullptr);
  EXPECT_EQ(counting.live_blocks(), 0);
  pointer_list_free(&l);
}

TEST(PointerList, RefusesCountsBelowOne) {
  for (int32_t count : {0, -5}) {
    pointer_list l{count, nullptr};
    EXPECT_EQ(pointer_list_alloc(&l), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(l.data, nullptr);
  }
}

TEST(PointerList, OutOfMemoryClearsTheCount) {
  FailingAllocator failing;
  failing.fail_at(1);
  pointer_list l{4, nullptr};
  EXPECT_EQ(pointer_list_alloc(&l), ERR_NO_MEM);
  EXPECT_EQ(l.count, 0);
  EXPECT_EQ(l.data, nullptr);
  pointer_list_free(&l);
  EXPECT_EQ(failing.live_blocks(), 0);
}

TEST(PointerList, FreeOfAListWithoutSlotsTouchesNothing) {
  pointer_list l{5, nullptr};
  pointer_list_free(&l);
  EXPECT_EQ(l.count, 0);
}

} // namespace
