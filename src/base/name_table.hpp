// A table from names to dense ids (0, 1, 2, ... in order of insertion), built for the lookups
// that dominate reading large files and checking large models for repeated names.
//
// Open addressing with linear probing, at most half full. A slot holds a name's first eight
// bytes, its length and its id: 16 bytes, so that the slots of a hundred thousand names take a
// few megabytes (the lookups are random, and on large inputs their cache and TLB misses are
// what the caller waits for). Bytes 8 to 15 of each name and the address of its bytes are kept
// by id and read only for names longer than eight bytes.
//
// The table keeps no copy of the names: their bytes must stay where they are while the table
// is used (NameArena, below, is stable storage for names that come from a passing buffer).
// has_repeated_name, below, is the check for repeated names of a list built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/byte_words.hpp"
#include "base/huge_pages.hpp"

namespace ondrel {

// The first 16 bytes of a name, zero-padded, as two words: two names of at most 16 bytes are
// equal exactly when their lengths and key words are equal.
struct NameKey {
    std::uint64_t a = 0, b = 0;
};

inline NameKey name_key(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    NameKey k;
    if (n > 8) {
        k.a = load8(p);
        k.b = n >= 16 ? load8(p + 8) : load8(p + n - 8) >> (8 * (16 - n));  // bytes 8..n-1
    } else {
        k.a = load_upto8(p, n);
    }
    return k;
}

namespace detail {
inline std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    return h;
}
}  // namespace detail

namespace detail {
inline std::uint64_t hash_head(const NameKey& k, std::size_t size) noexcept {
    return mix(k.a ^ (size * 0x9E3779B97F4A7C15ULL)) ^ (k.b * 0xBF58476D1CE4E5B9ULL);
}
}  // namespace detail

// Hash of a name whose key words are k.
inline std::uint64_t name_hash(std::string_view s, const NameKey& k) noexcept {
    std::uint64_t h = detail::hash_head(k, s.size());
    if (s.size() > 16) {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + 16;
        std::size_t n = s.size() - 16;
        for (; n >= 8; p += 8, n -= 8) h = detail::mix(h ^ load8(p));
        if (n != 0) h ^= load_upto8(p, n) * 0x94D049BB133111EBULL;
    }
    return detail::mix(h);
}

// The same hash of a name of `size` bytes, at most 16, from its key words alone.
inline std::uint64_t short_name_hash(const NameKey& k, std::size_t size) noexcept {
    return detail::mix(detail::hash_head(k, size));
}

// Equality of two names without a library call for the usual short ones.
inline bool same_name(std::string_view x, std::string_view y) noexcept {
    if (x.size() != y.size()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(x.data());
    const auto* q = reinterpret_cast<const unsigned char*>(y.data());
    const std::size_t n = x.size();
    if (n >= 8 && n <= 16) return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
    if (n < 8) return load_upto8(p, n) == load_upto8(q, n);
    return std::memcmp(p, q, n) == 0;
}

class NameTable {
public:
    using Id = std::uint32_t;
    static constexpr Id kAbsent = 0xFFFFFFFFu;
    // Ids run from 0 to kMaxNames - 1.
    static constexpr std::size_t kMaxNames = kAbsent - 1;

    // A name with its key words and hash, computed once for a prefetch and a later lookup.
    struct Lookup {
        std::string_view name;
        NameKey key;
        std::uint64_t hash;
    };
    static Lookup prepare(std::string_view name) noexcept {
        const NameKey k = name_key(name);
        return Lookup{name, k, name_hash(name, k)};
    }

    NameTable();

    std::size_t size() const noexcept { return names_.size(); }
    bool full() const noexcept { return names_.size() >= kMaxNames; }
    // Makes room for `names` names in all, so that inserting up to that many never rehashes.
    void reserve(std::size_t names);

    // Starts loading the slot where a lookup of l begins.
    void prefetch(const Lookup& l) const noexcept { __builtin_prefetch(&slots_[l.hash & mask_]); }

    // The id of the name, or kAbsent.
    Id find(const Lookup& l) const noexcept {
        for (std::size_t i = l.hash & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.id == kAbsent) return kAbsent;
            if (matches(s, l)) return s.id;
        }
    }
    Id find(std::string_view name) const noexcept { return find(prepare(name)); }

    // Adds a name known to be absent, under the next id (the number of names so far), and
    // returns that id. The table must not be full.
    Id insert(const Lookup& l);

    // Adds the name unless it is present, in one probe sequence. `id` is the name's id, old or
    // new. The table must not be full.
    struct Inserted {
        Id id;
        bool was_present;
    };
    Inserted insert_if_absent(const Lookup& l);

private:
    struct Slot {
        std::uint64_t key_a = 0;
        Id id = kAbsent;
        std::uint32_t len = 0;  // names of 4 GiB or more never match; they cannot occur in practice
    };
    bool matches(const Slot& s, const Lookup& l) const noexcept {
        const std::size_t n = l.name.size();
        return s.key_a == l.key.a && s.len == n &&
               (n <= 8 || (key_b_[s.id] == l.key.b &&
                           (n <= 16 || std::memcmp(names_[s.id] + 16, l.name.data() + 16, n - 16) == 0)));
    }
    Id add(const Lookup& l, std::size_t slot);
    void rehash(std::size_t capacity);

    std::vector<Slot, HugePageAllocator<Slot>> slots_;
    std::size_t mask_ = 0;
    std::vector<std::uint64_t> key_b_;  // by id
    std::vector<const char*> names_;    // by id
};

// Whether two of the n names name_at(0), ..., name_at(n - 1) are equal. Every name goes into
// one table sized up front; lookups are prepared and their slots prefetched a few names ahead
// of the inserts, so that the cache misses of a large table overlap. The names must stay where
// they are during the call. More than NameTable::kMaxNames names cannot all get an id; such a
// list answers true, and a caller that reports the repeated names finds them by counting.
template <class NameAt>
bool has_repeated_name(std::size_t n, NameAt&& name_at) {
    if (n < 2) return false;
    if (n > NameTable::kMaxNames) return true;
    constexpr std::size_t kAhead = 16;
    NameTable table;
    table.reserve(n);
    NameTable::Lookup ahead[kAhead];
    for (std::size_t i = 0; i < n && i < kAhead; ++i) {
        ahead[i] = NameTable::prepare(name_at(i));
        table.prefetch(ahead[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const NameTable::Lookup l = ahead[i % kAhead];
        if (i + kAhead < n) {
            ahead[i % kAhead] = NameTable::prepare(name_at(i + kAhead));
            table.prefetch(ahead[i % kAhead]);
        }
        if (table.insert_if_absent(l).was_present) return true;
    }
    return false;
}

// Stable storage for names taken from a buffer that changes: copies live in blocks that are
// never moved or freed while the arena lives, so views into them stay valid.
class NameArena {
public:
    std::string_view keep(std::string_view name) {
        if (name.size() > left_) add_block(name.size());
        if (!name.empty()) std::memcpy(next_, name.data(), name.size());
        const std::string_view kept(next_, name.size());
        next_ += name.size();
        left_ -= name.size();
        return kept;
    }

private:
    // Blocks double from 64 KiB up to one 2 MiB page: a small file takes little, a large
    // one few blocks, each faulted in as one page where the system offers them.
    static constexpr std::size_t kFirstBlock = std::size_t{1} << 16;
    struct HugeDelete {
        std::size_t bytes;
        void operator()(char* p) const noexcept { release_huge(p, bytes); }
    };
    void add_block(std::size_t at_least);
    std::vector<std::unique_ptr<char[], HugeDelete>> blocks_;
    std::size_t next_block_ = kFirstBlock;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace ondrel
