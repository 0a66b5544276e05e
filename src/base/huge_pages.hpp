// Memory for large tables that are read at random: in 2 MiB pages where the system offers them.
//
// A lookup table of tens of megabytes, read at random (a name table, a writer's name slots, the
// records a reader lays out row by row), misses the address translation cache on almost every
// access when it sits in 4 KiB pages; in 2 MiB pages a few hundred entries map it all. On Linux
// such blocks are mappings of their own, aligned to 2 MiB and marked for transparent huge pages
// (madvise) before their first use; elsewhere, or for small blocks, they are ordinary
// allocations.
//
// A block of its own mapping also goes back to the system the moment it is released. From the
// general heap, the scratch of one large call (a reader's tables, freed while its records are
// being made) would stay with the process afterwards, held between the records allocated
// around it: hundreds of megabytes for a file of millions of coefficients.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace ondrel {

inline constexpr std::size_t kHugePage = std::size_t{1} << 21;

// A block of at least `bytes` bytes (aligned to 2 MiB when at least that large); throws
// std::bad_alloc. Release with release_huge and the same `bytes`.
void* allocate_huge(std::size_t bytes);

// The same without the mark for 2 MiB pages: a block that may be filled only in part (the
// first chunk of a list of unknown length) takes only the small pages it touches.
void* allocate_pages(std::size_t bytes);

// A block of `bytes` bytes (at most kHugePage) aligned to kHugePage, so that an address inside
// it finds the block's start by masking. Only a whole kHugePage block is marked for a 2 MiB
// page: a smaller one keeps small pages, and a small read touches only the few it uses instead
// of having a whole 2 MiB page cleared. Throws std::bad_alloc; release with release_huge and
// the same `bytes`.
void* allocate_huge_aligned(std::size_t bytes);

// Releases a block of the functions above; `bytes` is the size it was asked for with.
void release_huge(void* p, std::size_t bytes) noexcept;

// Gives the free pages of the general heap back to the system. A large load frees scratch
// (tables, vectors grown by doubling) between blocks that stay, which the heap would otherwise
// keep with the process: megabytes for a file of a million coefficients.
void release_free_heap() noexcept;

// A std::vector allocator over allocate_huge.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_huge(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { release_huge(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

// A vector in such blocks: for the large scratch tables of one call (a writer's lookups and
// buffers), which would otherwise fault in 4 KiB at a time, thousands of faults per call.
template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace ondrel
