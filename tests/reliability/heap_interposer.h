// A test program that links heap_interposer.cc gets its own malloc, calloc,
// realloc, free and aligned allocators. They forward to the C library but
// count every allocation and every live block, and can be told to make one
// allocation (or every one from there on) fail. Because they replace the
// process's allocator, yyjson's own allocations fail too, not only the
// store's. Sanitizers and valgrind replace the same functions, so programs
// using this run only in a plain build.
#pragma once

#include <cstdint>

namespace heap_test {

// Allocation calls made so far in the process: every malloc, calloc, realloc
// (other than a release through realloc(p, 0)) and aligned allocation,
// whether it succeeded or was made to fail.
uint64_t allocations();

// Blocks currently allocated through the interposed functions.
int64_t live_blocks();

// The allocation after `skip` more successful ones fails; with `persistent`
// every allocation after it fails as well. Replaces any earlier setting.
void fail_after(uint64_t skip, bool persistent = false);

// No more failures.
void stop_failing();

// Whether an allocation was made to fail since the last fail_after.
bool failure_injected();

}  // namespace heap_test
