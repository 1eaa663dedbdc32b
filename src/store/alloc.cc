#include <cstdlib>

#include "store/store.h"

namespace orvik {
namespace {
uint64_t s_alloc_count = 0;
uint64_t s_fail_at = 0;  // allocation number that fails; 0: none

bool should_fail() {
  ++s_alloc_count;
  if (s_fail_at != 0 && s_alloc_count == s_fail_at) {
    s_fail_at = 0;
    return true;
  }
  return false;
}
}  // namespace

void *store_malloc(size_t size) { return should_fail() ? nullptr : std::malloc(size); }

void *store_calloc(size_t count, size_t size) {
  return should_fail() ? nullptr : std::calloc(count, size);
}

void *store_realloc(void *ptr, size_t size) {
  return should_fail() ? nullptr : std::realloc(ptr, size);
}

void store_free(void *ptr) { std::free(ptr); }

void store_alloc_fail_at(uint64_t n) { s_fail_at = n == 0 ? 0 : s_alloc_count + n; }

uint64_t store_alloc_count() { return s_alloc_count; }

}  // namespace orvik
