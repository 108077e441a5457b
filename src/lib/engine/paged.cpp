// Mapping and unmapping the blocks of PagedAllocator.
#include "lib/engine/paged.hpp"

#ifndef BRINDLE_PAGED_USES_HEAP
#include <sys/mman.h>
#endif

namespace brindle {

#ifndef BRINDLE_PAGED_USES_HEAP
// Blocks from this size are asked to be backed by huge pages where the
// kernel offers them on request: a column's temporaries are written through
// once, and at 4 KiB a page a tenth of a high-cardinality column's time went
// to page faults.
constexpr std::size_t kHugeAdviceBytes = std::size_t{4} << 20;

void* paged_alloc(std::size_t bytes) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugeAdviceBytes) (void)madvise(block, bytes, MADV_HUGEPAGE);  // advice only
#endif
    return block;
}

void paged_free(void* block, std::size_t bytes) noexcept { munmap(block, bytes); }
#endif

}  // namespace brindle
