// Counts the heap allocations of a whole program, whoever makes them: this
// header replaces malloc, calloc and realloc (the C library's own do the
// work), so it is included by exactly one source file of a program.
//
// A sanitizer brings its own allocator; under one nothing is replaced,
// VED_COUNTS_MALLOC is 0 and the count stays where it is.
#pragma once

#include <atomic>
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VED_SANITIZED_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(VED_SANITIZED_HEAP)
#define VED_COUNTS_MALLOC 0
#else
#define VED_COUNTS_MALLOC 1
#endif

namespace malloc_count {
// Allocations so far.
inline std::atomic<long> calls{0};
}  // namespace malloc_count

#if VED_COUNTS_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);

void* malloc(std::size_t size) {
    ++malloc_count::calls;
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    ++malloc_count::calls;
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    ++malloc_count::calls;
    return __libc_realloc(p, size);
}
}
#endif
