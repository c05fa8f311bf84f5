// A counting global operator new for the benchmark program, and on glibc a
// counting malloc that forwards to the C library's own allocator.
#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> new_calls{0};
std::atomic<uint64_t> malloc_calls{0};

void* counted_new(std::size_t size) {
    new_calls.fetch_add(1, std::memory_order_relaxed);
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    return p;
}

void* counted_new_nothrow(std::size_t size) noexcept {
    new_calls.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every non-aligned form is replaced, so that new and delete always pair up
// through malloc and free.  The aligned forms stay the library's own.
void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_new_nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted_new_nothrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define QUILLON_COUNT_MALLOC 1
// glibc lets a program interpose malloc; forwarding to its own entry points
// keeps one heap, so the functions not replaced here (memalign and the
// like) still pair with free.
extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* p, std::size_t size) noexcept;

void* malloc(std::size_t size) noexcept {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

AllocationCounts allocation_counts() {
    AllocationCounts counts;
    counts.news = new_calls.load(std::memory_order_relaxed);
    counts.mallocs = malloc_calls.load(std::memory_order_relaxed);
    return counts;
}

bool malloc_counting_available() {
#ifdef QUILLON_COUNT_MALLOC
    return true;
#else
    return false;
#endif
}
