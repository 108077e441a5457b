// Storage for a call's large temporaries, taken straight from the kernel.
//
// NOTE: once the C library has freed one large block it serves later ones
// of that size from its heaps, and keeps them when they are freed: a call's
// temporaries would stay resident after the call, and count towards its peak
// while later ones are live. Blocks of 1 MiB and more are mapped here
// instead and unmapped when freed; smaller ones come from operator new.
// Sanitizer builds use operator new throughout, so every block is checked.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define BRINDLE_PAGED_USES_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define BRINDLE_PAGED_USES_HEAP 1
#endif
#endif
#if !defined(BRINDLE_PAGED_USES_HEAP) && !defined(__unix__)
#define BRINDLE_PAGED_USES_HEAP 1
#endif

namespace brindle {

inline constexpr std::size_t kPagedMinBytes = std::size_t{1} << 20;
#ifdef BRINDLE_PAGED_USES_HEAP
inline constexpr bool kPagedUsesHeap = true;
#else
inline constexpr bool kPagedUsesHeap = false;
#endif

// Maps `bytes` (at least kPagedMinBytes) of zeroed memory, or throws
// std::bad_alloc; paged_free gives them back. Defined only where blocks are
// mapped.
void* paged_alloc(std::size_t bytes);
void paged_free(void* block, std::size_t bytes) noexcept;

template <class T>
struct PagedAllocator {
    using value_type = T;

    PagedAllocator() noexcept = default;
    template <class U>
    PagedAllocator(const PagedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        if constexpr (kPagedUsesHeap) {
            return std::allocator<T>().allocate(n);
        } else {
            if (n * sizeof(T) < kPagedMinBytes) return std::allocator<T>().allocate(n);
            return static_cast<T*>(paged_alloc(n * sizeof(T)));
        }
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if constexpr (kPagedUsesHeap) {
            std::allocator<T>().deallocate(p, n);
        } else {
            if (n * sizeof(T) < kPagedMinBytes) return std::allocator<T>().deallocate(p, n);
            paged_free(p, n * sizeof(T));
        }
    }

    template <class U>
    friend bool operator==(const PagedAllocator&, const PagedAllocator<U>&) noexcept {
        return true;
    }
};

template <class T>
using PagedVector = std::vector<T, PagedAllocator<T>>;

}  // namespace brindle
