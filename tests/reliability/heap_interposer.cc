// The interposed allocator of heap_interposer.h. glibc exports its own
// allocator under __libc_* names, which the replacements forward to; a block
// from one is released by the other, so memory allocated before main (or by
// code that calls glibc's internals directly) is still freed correctly.
#include "heap_interposer.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *ptr);
}

namespace {
// Plain counters: the test programs that use this are single-threaded, and
// atomics here would be the only synchronisation in the process's allocator.
uint64_t s_allocations = 0;
int64_t s_live = 0;
bool s_armed = false;
uint64_t s_skip = 0;
bool s_persistent = false;
bool s_injected = false;

bool should_fail() {
  ++s_allocations;
  if (!s_armed) return false;
  if (s_skip > 0) {
    --s_skip;
    return false;
  }
  s_injected = true;
  if (!s_persistent) s_armed = false;
  return true;
}

void *counted(void *p) {
  if (p != nullptr) ++s_live;
  return p;
}
}  // namespace

namespace heap_test {
uint64_t allocations() { return s_allocations; }
int64_t live_blocks() { return s_live; }

void fail_after(uint64_t skip, bool persistent) {
  s_skip = skip;
  s_persistent = persistent;
  s_injected = false;
  s_armed = true;
}

void stop_failing() { s_armed = false; }
bool failure_injected() { return s_injected; }
}  // namespace heap_test

extern "C" {
void *malloc(size_t size) noexcept {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return counted(__libc_malloc(size));
}

void *calloc(size_t count, size_t size) noexcept {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return counted(__libc_calloc(count, size));
}

void *realloc(void *ptr, size_t size) noexcept {
  if (ptr != nullptr && size == 0) {
    // glibc releases the block and returns null: a free, not an allocation.
    --s_live;
    return __libc_realloc(ptr, 0);
  }
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *moved = __libc_realloc(ptr, size);
  if (ptr == nullptr) return counted(moved);
  return moved;
}

void free(void *ptr) noexcept {
  if (ptr == nullptr) return;
  --s_live;
  __libc_free(ptr);
}

void *memalign(size_t alignment, size_t size) noexcept {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return counted(__libc_memalign(alignment, size));
}

void *aligned_alloc(size_t alignment, size_t size) noexcept { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) noexcept {
  void *p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}
