// Counts heap allocations made by this benchmark program, so every
// benchmark can report how many allocations one iteration costs.
#pragma once

#include <cstdint>

struct AllocationCounts {
    uint64_t news = 0;     // calls of the global operator new (every form)
    uint64_t mallocs = 0;  // calls of malloc, calloc and realloc, operator new's included
};

AllocationCounts allocation_counts();
// Whether the C library's allocations are counted too (glibc without a
// sanitizer); otherwise only operator new is.
bool malloc_counting_available();
