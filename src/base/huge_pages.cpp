#include "base/huge_pages.hpp"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

// Under AddressSanitizer every block comes from the instrumented heap, so that a write past
// the end of one is caught (g++ defines __SANITIZE_ADDRESS__, clang++ answers __has_feature).
#if defined(__SANITIZE_ADDRESS__)
#define ONDREL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ONDREL_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__linux__) && defined(MAP_ANONYMOUS) && !defined(ONDREL_ADDRESS_SANITIZER)
#define ONDREL_OWN_MAPPINGS 1
#endif

namespace ondrel {

namespace {

std::size_t rounded_up(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

void* malloc_or_throw(std::size_t bytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// A mapping of `bytes` (>= kHugePage) aligned to kHugePage, marked for 2 MiB pages if `huge`.
void* map_block(std::size_t bytes, bool huge) {
    if (bytes > static_cast<std::size_t>(-1) - 2 * kHugePage) throw std::bad_alloc();
    const std::size_t size = rounded_up(bytes);
#if defined(ONDREL_OWN_MAPPINGS)
    // Map one page more than needed and unmap what lies before and after the aligned part.
    const std::size_t span = size + kHugePage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t tail = aligned + size;
    if (start + span > tail) ::munmap(reinterpret_cast<void*>(tail), start + span - tail);
    void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    // Advice only: where transparent huge pages are off, the block keeps small pages.
    if (huge) ::madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
#else
    (void)huge;
    void* p = std::aligned_alloc(kHugePage, size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
#endif
}

}  // namespace

void* allocate_huge(std::size_t bytes) { return bytes < kHugePage ? malloc_or_throw(bytes) : map_block(bytes, true); }

void* allocate_pages(std::size_t bytes) { return bytes < kHugePage ? malloc_or_throw(bytes) : map_block(bytes, false); }

void* allocate_huge_aligned(std::size_t bytes) {
    if (bytes >= kHugePage) return map_block(bytes, true);
    void* p = nullptr;
    if (::posix_memalign(&p, kHugePage, bytes == 0 ? 1 : bytes) != 0) throw std::bad_alloc();
    return p;
}

void release_huge(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
#if defined(ONDREL_OWN_MAPPINGS)
    if (bytes >= kHugePage) {
        ::munmap(p, rounded_up(bytes));
        return;
    }
#else
    (void)bytes;
#endif
    std::free(p);
}

void release_free_heap() noexcept {
#if defined(__GLIBC__) && !defined(ONDREL_ADDRESS_SANITIZER)
    ::malloc_trim(0);
#endif
}

}  // namespace ondrel
