#pragma once
// Records the byte count of every request that reaches the allocation hooks
// while it lives, passing the requests on to the hooks it found.

#include <cstddef>
#include <vector>

#include "base/hooks.h"

namespace ferry::test {

class AllocSizes {
public:
  AllocSizes() : malloc_(u_malloc_hook), calloc_(u_calloc_hook) {
    self() = this;
    u_malloc_hook = [](size_t n) {
      self()->sizes.push_back(n);
      return self()->malloc_(n);
    };
    u_calloc_hook = [](size_t count, size_t size) {
      self()->sizes.push_back(count * size);
      return self()->calloc_(count, size);
    };
  }
  ~AllocSizes() {
    u_malloc_hook = malloc_;
    u_calloc_hook = calloc_;
    self() = nullptr;
  }
  AllocSizes(const AllocSizes &) = delete;
  AllocSizes &operator=(const AllocSizes &) = delete;

  std::vector<size_t> sizes;

private:
  static AllocSizes *&self() {
    static AllocSizes *current = nullptr;
    return current;
  }
  u_malloc_fn malloc_;
  u_calloc_fn calloc_;
};

} // namespace ferry::test
