#include "base/name_table.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace ondrel {

NameTable::NameTable() : slots_(64), mask_(63) {}

void NameTable::reserve(std::size_t names) {
    if (names * 2 > slots_.size()) rehash(std::bit_ceil(names * 2));
    key_b_.reserve(names);
    names_.reserve(names);
}

NameTable::Id NameTable::insert(const Lookup& l) {
    if ((names_.size() + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    std::size_t i = l.hash & mask_;
    while (slots_[i].id != kAbsent) i = (i + 1) & mask_;
    return add(l, i);
}

NameTable::Inserted NameTable::insert_if_absent(const Lookup& l) {
    if ((names_.size() + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    for (std::size_t i = l.hash & mask_;; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.id == kAbsent) return Inserted{add(l, i), false};
        if (matches(s, l)) return Inserted{s.id, true};
    }
}

// Fills the free slot i with the next id.
NameTable::Id NameTable::add(const Lookup& l, std::size_t i) {
    if (full()) throw std::length_error("name table full");
    const Id id = static_cast<Id>(names_.size());
    key_b_.push_back(l.key.b);
    try {
        names_.push_back(l.name.data());
    } catch (...) {
        key_b_.pop_back();  // the two lists stay of one length
        throw;
    }
    slots_[i] = Slot{l.key.a, id, static_cast<std::uint32_t>(std::min<std::size_t>(l.name.size(), kAbsent))};
    return id;
}

void NameTable::rehash(std::size_t capacity) {
    std::vector<Slot, HugePageAllocator<Slot>> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    for (const Slot& s : old) {
        if (s.id == kAbsent) continue;
        // The hash of a name of up to 16 bytes comes from its key words and length alone: the
        // first word is in the slot, the second is 0 up to 8 bytes. Only longer names are read
        // again, which on a large table costs a cache miss each.
        std::uint64_t hash;
        if (s.len <= 16) {
            hash = short_name_hash(NameKey{s.key_a, s.len <= 8 ? 0 : key_b_[s.id]}, s.len);
        } else {
            const std::string_view name(names_[s.id], s.len);
            hash = name_hash(name, name_key(name));
        }
        std::size_t i = hash & mask_;
        while (slots_[i].id != kAbsent) i = (i + 1) & mask_;
        slots_[i] = s;
    }
}

void NameArena::add_block(std::size_t at_least) {
    const std::size_t size = std::max(next_block_, at_least);
    blocks_.reserve(blocks_.size() + 1);  // so that the block cannot be left unowned
    blocks_.emplace_back(static_cast<char*>(allocate_huge(size)), HugeDelete{size});
    next_block_ = std::min(2 * next_block_, kHugePage);
    next_ = blocks_.back().get();
    left_ = size;
}

}  // namespace ondrel
