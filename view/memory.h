// Heap set-up for the one-shot commands.
#pragma once

#include <cstddef>

namespace view {

// Makes the next `bytes` of heap come from huge pages where the kernel
// allows them (transparent huge pages in "madvise" mode), and keeps freed
// memory in the process.  Reading a large dump touches some 40 MB of fresh
// heap; faulting it in 4 KB pages costs more than parsing it.
void prepare_heap(size_t bytes);

}  // namespace view
