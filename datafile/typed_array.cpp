#include "datafile/typed_array.h"

#include <array>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "base/hooks.h"

namespace {

// Element size and the bytes of the no-value marker, in host order.
struct TypeInfo {
  uint64_t size;
  std::array<unsigned char, 8> marker;
};

template <typename T> constexpr TypeInfo type_info(T marker) {
  auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(marker);
  TypeInfo info{sizeof(T), {}};
  for (size_t i = 0; i < sizeof(T); ++i)
    info.marker[i] = bytes[i];
  return info;
}

constexpr std::array<TypeInfo, TYPED_TYPE_COUNT> type_table = {
    type_info<int8_t>(0x7F),        type_info<uint8_t>(0xFF),
    type_info<int16_t>(0x7FFF),     type_info<uint16_t>(0xFFFF),
    type_info<int32_t>(0x7FFFFFFF), type_info<uint32_t>(0xFFFFFFFFu),
    type_info<int32_t>(0x7FFFFFFF), type_info<uint32_t>(0xFFFFFFFFu),
    type_info<float>(FLT_MAX),      type_info<double>(std::numeric_limits<double>::infinity()),
};

// Byte count of n elements, or 0 when it does not fit in memory at all.
uint64_t byte_count(uint64_t n, uint64_t elem_size) {
  if (n > std::numeric_limits<size_t>::max() / elem_size)
    return 0;
  return n * elem_size;
}

void *take(uint64_t bytes) {
  return u_malloc_hook(static_cast<size_t>(bytes));
}

// The record's own destroy runs on every early return of a creator.
template <typename Record, void (*destroy)(Record *)> struct Destroyer {
  void operator()(Record *r) const { destroy(r); }
};
template <typename Record, void (*destroy)(Record *)>
using Owned = std::unique_ptr<Record, Destroyer<Record, destroy>>;

// A cleared record from the memory hooks, or none.
template <typename Record, void (*destroy)(Record *)> Owned<Record, destroy> take_record() {
  Owned<Record, destroy> r(static_cast<Record *>(u_malloc_hook(sizeof(Record))));
  if (r)
    *r = Record{};
  return r;
}

// The one-element marker buffer, filled.
void *take_marker(const TypeInfo &info) {
  void *marker = take(info.size);
  if (marker)
    std::memcpy(marker, info.marker.data(), info.size);
  return marker;
}

template <typename Record> void clear_elements(Record *r) {
  if (r)
    std::memset(r->data, 0, static_cast<size_t>(r->length * r->elem_size));
}

} // namespace

extern "C" uint64_t typed_elem_size(uint32_t type) {
  return type < type_table.size() ? type_table[type].size : 0;
}

extern "C" typed_vector *typed_vector_create(uint64_t n, uint32_t type) {
  if (n == 0 || type >= type_table.size())
    return nullptr;
  const TypeInfo &info = type_table[type];
  uint64_t bytes = byte_count(n, info.size);
  if (bytes == 0)
    return nullptr;
  auto v = take_record<typed_vector, typed_vector_destroy>();
  if (!v)
    return nullptr;
  v->type = type;
  v->count = n;
  v->elem_size = info.size;
  v->no_value = take_marker(info);
  if (!v->no_value)
    return nullptr;
  v->data = take(bytes);
  if (!v->data)
    return nullptr;
  v->length = n;
  return v.release();
}

extern "C" typed_vector *typed_vector_create_zeroed(uint64_t n, uint32_t type) {
  typed_vector *v = typed_vector_create(n, type);
  clear_elements(v);
  return v;
}

extern "C" void typed_vector_destroy(typed_vector *v) {
  if (!v)
    return;
  ferry::hook_free(v->no_value);
  ferry::hook_free(v->data);
  u_free_hook(v);
}

extern "C" typed_array2d *typed_array2d_create(int32_t width, int32_t height, uint32_t type) {
  constexpr int32_t max_extent = std::numeric_limits<int16_t>::max();
  if (width < 1 || height < 1 || width > max_extent || height > max_extent ||
      type >= type_table.size())
    return nullptr;
  const TypeInfo &info = type_table[type];
  uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  uint64_t bytes = byte_count(count, info.size);
  if (bytes == 0)
    return nullptr;
  auto a = take_record<typed_array2d, typed_array2d_destroy>();
  if (!a)
    return nullptr;
  a->width = static_cast<int16_t>(width);
  a->height = static_cast<int16_t>(height);
  a->type = type;
  a->count = count;
  a->elem_size = info.size;
  a->no_value = take_marker(info);
  if (!a->no_value)
    return nullptr;
  a->data = take(bytes);
  if (!a->data)
    return nullptr;
  a->length = count;
  a->rows = static_cast<void **>(take(sizeof(void *) * static_cast<uint64_t>(height)));
  if (!a->rows)
    return nullptr;
  auto *bytes_of = static_cast<unsigned char *>(a->data);
  const size_t row_bytes = static_cast<size_t>(width) * static_cast<size_t>(info.size);
  for (int32_t i = 0; i < height; ++i)
    a->rows[i] = bytes_of + static_cast<size_t>(i) * row_bytes;
  return a.release();
}

extern "C" typed_array2d *typed_array2d_create_zeroed(int32_t width, int32_t height,
                                                      uint32_t type) {
  typed_array2d *a = typed_array2d_create(width, height, type);
  clear_elements(a);
  return a;
}

extern "C" void typed_array2d_destroy(typed_array2d *a) {
  if (!a)
    return;
  ferry::hook_free(a->no_value);
  ferry::hook_free(a->data);
  ferry::hook_free(a->rows);
  u_free_hook(a);
}
