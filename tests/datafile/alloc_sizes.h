#pragma once
// Records the byte count of every request that reaches the allocation hooks
// while it lives, passing the requests on to the hooks it found. It can also
// keep a copy of what a block of one chosen size held when it was given
// back, which shows how a work buffer was last used.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "base/hooks.h"

namespace ferry::test {

class AllocSizes {
public:
  explicit AllocSizes(size_t keep_contents_of = 0)
      : keep_size_(keep_contents_of), malloc_(u_malloc_hook), calloc_(u_calloc_hook),
        free_(u_free_hook) {
    self() = this;
    u_malloc_hook = [](size_t n) { return self()->taken(self()->malloc_(n), n); };
    u_calloc_hook = [](size_t count, size_t size) {
      return self()->taken(self()->calloc_(count, size), count * size);
    };
    u_free_hook = [](void *p) {
      AllocSizes *s = self();
      auto it = s->blocks_.find(p);
      if (it != s->blocks_.end() && it->second == s->keep_size_) {
        auto *bytes = static_cast<const uint8_t *>(p);
        s->kept.assign(bytes, bytes + it->second);
      }
      if (it != s->blocks_.end())
        s->blocks_.erase(it);
      s->free_(p);
    };
  }
  ~AllocSizes() {
    u_malloc_hook = malloc_;
    u_calloc_hook = calloc_;
    u_free_hook = free_;
    self() = nullptr;
  }
  AllocSizes(const AllocSizes &) = delete;
  AllocSizes &operator=(const AllocSizes &) = delete;

  std::vector<size_t> sizes;
  std::vector<uint8_t> kept; // contents of the last freed block of the chosen size

private:
  static AllocSizes *&self() {
    static AllocSizes *current = nullptr;
    return current;
  }
  void *taken(void *p, size_t n) {
    sizes.push_back(n);
    if (p)
      blocks_[p] = n;
    return p;
  }
  size_t keep_size_;
  u_malloc_fn malloc_;
  u_calloc_fn calloc_;
  u_free_fn free_;
  std::map<void *, size_t> blocks_;
};

} // namespace ferry::test
