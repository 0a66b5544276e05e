#include "model/term_arena.hpp"

#include <algorithm>

#include "base/huge_pages.hpp"

namespace ondrel {

namespace {
// Small batches share blocks of up to this many terms (64 KiB); a larger one gets a block its
// size. Blocks start at the size of the first batch and grow with what the arena holds, so a
// small model pays for no more than it stores, and many small batches need few blocks.
constexpr std::size_t kSharedBlock = 4096;
}  // namespace

void TermArena::HugeDeleter::operator()(Term* p) const noexcept { release_huge(p, bytes); }

Term* TermArena::take(std::size_t n) {
    if (!blocks_.empty() && blocks_.back().size - used_ >= n) return blocks_.back().data.get() + used_;
    std::size_t held = 0;
    for (const Block& b : blocks_) held += b.size;
    const std::size_t size = std::max(n, std::min(kSharedBlock, held));
    if (size > static_cast<std::size_t>(-1) / sizeof(Term)) throw std::bad_array_new_length();
    blocks_.reserve(blocks_.size() + 1);  // so that the push below cannot throw with the block unowned
    const std::size_t bytes = size * sizeof(Term);
    blocks_.push_back(Block{std::unique_ptr<Term[], HugeDeleter>(static_cast<Term*>(allocate_huge(bytes)), HugeDeleter{bytes}), size});
    used_ = 0;
    return blocks_.back().data.get();
}

void TermArena::rewind(Mark m) noexcept {
    blocks_.resize(m.blocks);
    used_ = m.used;
}

}  // namespace ondrel
