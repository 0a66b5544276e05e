// Storage for the terms of constraints added in bulk.
//
// A batch of rows takes one slice of an arena block for all its terms, and each row's TermMap
// is lent its part of that slice (TermMap::lent). Rows added this way cost no allocation each,
// sit side by side in memory in the order they were added, and are released all at once with
// the store. A row that later grows past its slice moves to a block of its own; the slice it
// leaves stays unused until the store goes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "model/term_map.hpp"

namespace ondrel {

class TermArena {
public:
    TermArena() = default;
    // Copies of a store copy each TermMap into a block of its own (see TermMap's copy), so a
    // copied arena starts empty and assigning one keeps the blocks this arena already lends.
    TermArena(const TermArena&) noexcept {}
    TermArena& operator=(const TermArena&) noexcept { return *this; }
    TermArena(TermArena&&) noexcept = default;
    TermArena& operator=(TermArena&&) noexcept = default;

    // Room for `n` terms, valid until the next take or until the arena is destroyed: the
    // caller fills a prefix of it and then calls keep() with the end of what it filled.
    Term* take(std::size_t n);
    void keep(const Term* end) noexcept { used_ = static_cast<std::size_t>(end - blocks_.back().data.get()); }
    // Gives back everything taken since `mark()` returned `m`: a failed batch leaves no trace.
    struct Mark {
        std::size_t blocks;
        std::size_t used;
    };
    Mark mark() const noexcept { return {blocks_.size(), used_}; }
    void rewind(Mark m) noexcept;

private:
    struct HugeDeleter {
        std::size_t bytes;
        void operator()(Term* p) const noexcept;
    };
    struct Block {
        std::unique_ptr<Term[], HugeDeleter> data;
        std::size_t size;
    };
    std::vector<Block> blocks_;
    std::size_t used_ = 0;  // terms used in the last block
};

}  // namespace ondrel
