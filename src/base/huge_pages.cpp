#include "base/huge_pages.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ondrel {

void* allocate_huge(std::size_t bytes) {
    if (bytes < kHugePage) {
        void* p = std::malloc(bytes == 0 ? 1 : bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: where transparent huge pages are off, the block keeps small pages.
    ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return p;
}

void* allocate_huge_aligned(std::size_t bytes) {
    if (bytes >= kHugePage) return allocate_huge(kHugePage);
    void* p = nullptr;
    if (::posix_memalign(&p, kHugePage, bytes == 0 ? 1 : bytes) != 0) throw std::bad_alloc();
    return p;
}

void release_huge(void* p) noexcept { std::free(p); }

}  // namespace ondrel
