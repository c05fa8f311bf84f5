#include "view/memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace view {

void prepare_heap(size_t bytes) {
    // Blocks up to the largest threshold glibc accepts come from the main
    // heap rather than from separate mappings, and freed memory is not
    // trimmed, so the advised range is the one that gets reused.
    const size_t block_size = size_t(16) << 20;
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(2 * block_size));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(bytes * 2));
    std::vector<void*> blocks;
    blocks.reserve(bytes / block_size + 1);
    uintptr_t low = UINTPTR_MAX, high = 0;
    for (size_t have = 0; have < bytes; have += block_size) {
        void* block = std::malloc(block_size);
        if (!block) break;
        blocks.push_back(block);
        low = std::min(low, reinterpret_cast<uintptr_t>(block));
        high = std::max(high, reinterpret_cast<uintptr_t>(block) + block_size);
    }
    const uintptr_t huge = uintptr_t(2) << 20;
    uintptr_t begin = (low + huge - 1) & ~(huge - 1);
    uintptr_t end = high & ~(huge - 1);
    if (!blocks.empty() && end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    for (void* block : blocks) std::free(block);
}

}  // namespace view
