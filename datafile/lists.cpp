#include "datafile/lists.h"

#include <cstddef>
#include <type_traits>

#include "base/hooks.h"

namespace {

// One implementation for every list type: they differ only in the element
// type of their data pointer.
template <typename List> void list_init(List *l) {
  l->capacity = 0;
  l->count = 0;
  l->data = nullptr;
}

// Gives the buffer back; the owner decides what happens to count.
template <typename List> void list_release(List *l) {
  l->capacity = 0;
  ferry::hook_free(l->data);
}

template <typename List> u_err_t list_take(List *l, int32_t n) {
  using Elem = std::remove_pointer_t<decltype(l->data)>;
  l->data = static_cast<Elem *>(u_malloc_hook(static_cast<size_t>(n) * sizeof(Elem)));
  if (!l->data)
    return ERR_NO_MEM;
  l->capacity = static_cast<uint32_t>(n);
  return ERR_NONE;
}

// Allocation is for a list that holds no buffer. A negative count would ask
// for an absurd block, so it is refused like an empty one.
template <typename List> u_err_t list_alloc(List *l) {
  if (l->count <= 0)
    return ERR_PARAM_OUT_OF_RANGE;
  l->capacity = 0;
  l->data = nullptr;
  return list_take(l, l->count);
}

template <typename List> u_err_t list_resize(List *l, int32_t n, bool keep) {
  if (n < 0)
    return ERR_PARAM_OUT_OF_RANGE;
  if (!l->data)
    l->capacity = 0;
  if (n == 0) {
    list_release(l);
    l->count = 0;
    return ERR_NONE;
  }
  uint32_t wanted = static_cast<uint32_t>(n);
  if (l->capacity < wanted || (wanted < l->capacity && !keep)) {
    // The contents are not carried over, so the old buffer goes first and
    // the two never exist together.
    list_release(l);
    if (u_err_t err = list_take(l, n))
      return err;
  }
  l->count = n;
  return ERR_NONE;
}

template <typename List> void list_free(List *l) {
  list_release(l);
  l->count = 0;
}

} // namespace

#define FERRY_DEFINE_LIST(name)                                                                    \
  extern "C" void name##_init(name *l) {                                                           \
    list_init(l);                                                                                  \
  }                                                                                                \
  extern "C" u_err_t name##_alloc(name *l) {                                                       \
    return list_alloc(l);                                                                          \
  }                                                                                                \
  extern "C" u_err_t name##_resize(name *l, int32_t n, bool keep) {                                \
    return list_resize(l, n, keep);                                                                \
  }                                                                                                \
  extern "C" void name##_free(name *l) {                                                           \
    list_free(l);                                                                                  \
  }

FERRY_DEFINE_LIST(list12)
FERRY_DEFINE_LIST(list12b)
FERRY_DEFINE_LIST(list12c)
FERRY_DEFINE_LIST(list8)
FERRY_DEFINE_LIST(list8b)
FERRY_DEFINE_LIST(list8c)
FERRY_DEFINE_LIST(list4)
FERRY_DEFINE_LIST(list4b)
FERRY_DEFINE_LIST(list2)
FERRY_DEFINE_LIST(list1)

extern "C" u_err_t pointer_list_alloc(pointer_list *l) {
  if (l->count < 1)
    return ERR_PARAM_OUT_OF_RANGE;
  l->data = static_cast<void **>(u_calloc_hook(static_cast<size_t>(l->count), sizeof(void *)));
  if (!l->data) {
    l->count = 0;
    return ERR_NO_MEM;
  }
  return ERR_NONE;
}

extern "C" void pointer_list_free(pointer_list *l) {
  if (l->data) {
    for (int32_t i = 0; i < l->count; ++i)
      ferry::hook_free(l->data[i]);
  }
  ferry::hook_free(l->data);
  l->count = 0;
}
