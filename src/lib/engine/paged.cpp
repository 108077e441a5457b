// Mapping and unmapping the blocks of PagedAllocator.
#include "lib/engine/paged.hpp"

#ifndef BRINDLE_PAGED_USES_HEAP
#include <sys/mman.h>
#endif

namespace brindle {

#ifndef BRINDLE_PAGED_USES_HEAP
void* paged_alloc(std::size_t bytes) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
}

void paged_free(void* block, std::size_t bytes) noexcept { munmap(block, bytes); }
#endif

}  // namespace brindle
