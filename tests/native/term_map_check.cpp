// Randomized property check of ondrel::TermMap against a plain reference: a vector of
// (id, coefficient) pairs searched linearly.
//
//   term_map_check SEED [STEPS]
//
// Drives one map through long random sequences of add, set, erase, erase_flagged, reserve,
// add_checked, scale, clear, the four copy/move forms and lending (the entries moved to an
// exact-size buffer the map is then lent, so a sanitizer build catches any write past it), in phases whose target size is tiny
// (so the size crosses the linear/indexed threshold again and again), medium or large
// (thousands of entries). After every step it compares the whole entry sequence (order, ids,
// coefficient bits) and looks up present and absent ids with find() and position(). Some
// phases use ids chosen to share one hash slot, or the last slot, so the index works with
// long probe chains and wrap-around; they stay valid tests under any other hash.
//
// Prints one summary line and exits 0 when everything matched; on the first mismatch prints
// the seed, the step, the last operations and the difference, and exits 1.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/term_map.hpp"

namespace {

using ondrel::TermMap;
using ondrel::VarId;

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
};

// ------------------------------------------------------------------------------------------
// Reference model.

struct Ref {
    std::vector<std::pair<VarId, double>> v;

    std::size_t pos(VarId id) const {
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (v[i].first == id) return i;
        }
        return TermMap::npos;
    }
    void add(VarId id, double c) {
        const std::size_t p = pos(id);
        if (p == TermMap::npos) {
            v.emplace_back(id, c + 0.0);
        } else {
            v[p].second = c + v[p].second;
        }
    }
    void set(VarId id, double c) {
        const std::size_t p = pos(id);
        if (p == TermMap::npos) {
            v.emplace_back(id, c);
        } else {
            v[p].second = c;
        }
    }
    bool erase(VarId id) {
        const std::size_t p = pos(id);
        if (p == TermMap::npos) return false;
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(p));
        return true;
    }
    void erase_flagged(const std::vector<bool>& drop) {
        std::vector<std::pair<VarId, double>> kept;
        for (const auto& t : v) {
            if (!(t.first < drop.size() && drop[t.first])) kept.push_back(t);
        }
        v = std::move(kept);
    }
    std::size_t add_checked(const std::vector<VarId>& ids, const std::vector<double>& cs, VarId limit) {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (ids[i] >= limit || !std::isfinite(cs[i])) return i;
            add(ids[i], cs[i]);
        }
        return ids.size();
    }
};

// ------------------------------------------------------------------------------------------
// Inputs.

// Multiplicative inverse of an odd number modulo 2^64 (Newton's iteration).
constexpr std::uint64_t inverse_odd(std::uint64_t a) {
    std::uint64_t x = a;
    for (int i = 0; i < 6; ++i) x *= 2 - a * x;
    return x;
}
// Ids whose product with this constant is tiny (or near 2^64) all land in the first (or the
// last) slot of a multiplicative hash that keeps the top bits.
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kGoldenInverse = inverse_odd(kGolden);
static_assert(kGolden * kGoldenInverse == 1);

enum class Family { Dense, Spread, HighBits, NearMax, SameSlotFirst, SameSlotLast, Count };
const char* family_name(Family f) {
    switch (f) {
        case Family::Dense: return "dense";
        case Family::Spread: return "spread";
        case Family::HighBits: return "high-bits";
        case Family::NearMax: return "near-max";
        case Family::SameSlotFirst: return "same-slot-first";
        case Family::SameSlotLast: return "same-slot-last";
        case Family::Count: break;
    }
    return "?";
}

VarId id_of(Family f, std::uint64_t k) {
    switch (f) {
        case Family::Dense: return k;
        case Family::Spread: return k * 1000003u + 7;
        case Family::HighBits: return (k << 40) | 0x5;
        case Family::NearMax: return std::numeric_limits<VarId>::max() - k;
        case Family::SameSlotFirst: return (k + 1) * kGoldenInverse;
        case Family::SameSlotLast: return (0 - (k + 1)) * kGoldenInverse;
        case Family::Count: break;
    }
    return k;
}

double coefficient(Rng& rng) {
    switch (rng.below(12)) {
        case 0: return -0.0;
        case 1: return 0.0;
        case 2: return static_cast<double>(static_cast<int>(rng.below(21)) - 10);
        case 3: return std::numeric_limits<double>::denorm_min() * static_cast<double>(rng.below(4));
        case 4: return 1e300 * (rng.chance(50) ? 1.0 : -1.0);
        case 5: return std::bit_cast<double>(rng.next() & ~(0x7FFull << 52));  // zero or subnormal, any sign
        case 6: return 0.1 * static_cast<double>(rng.below(100));
        default: {
            // Any finite double.
            double d;
            do {
                d = std::bit_cast<double>(rng.next());
            } while (!std::isfinite(d));
            return d;
        }
    }
}

double maybe_non_finite(Rng& rng, unsigned percent) {
    if (!rng.chance(percent)) return coefficient(rng);
    switch (rng.below(3)) {
        case 0: return std::numeric_limits<double>::infinity();
        case 1: return -std::numeric_limits<double>::infinity();
        default: return std::numeric_limits<double>::quiet_NaN();
    }
}

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;  // the payload of a NaN sum is not specified
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// ------------------------------------------------------------------------------------------
// The run.

struct Runner {
    explicit Runner(std::uint64_t s) : seed(s), rng{s * 0x2545F4914F6CDD1Dull + 1} {}

    std::uint64_t seed;
    Rng rng;
    std::unique_ptr<TermMap> map = std::make_unique<TermMap>();
    Ref ref;

    Family family = Family::Dense;
    std::size_t pool = 32;     // ids are id_of(family, k) for k < pool
    std::size_t target = 16;   // size the phase steers towards
    std::size_t step = 0;
    std::string log[8];        // last operations, for the failure report
    std::vector<VarId> touched;

    // Statistics that show the run covered what it is meant to cover.
    std::size_t crossings = 0, max_size = 0, bulk_stops = 0, collision_steps = 0, lends = 0;
    // Buffers lent to the map; they must outlive it, so they are kept to the end.
    std::vector<std::unique_ptr<ondrel::Term[]>> lent;
    bool above = false;

    VarId pick_id() { return id_of(family, rng.below(pool)); }

    void note(const std::string& s) { log[step % 8] = std::to_string(step) + ": " + s; }

    [[noreturn]] void fail(const std::string& what) {
        std::fprintf(stderr, "term_map_check: seed %llu step %zu: %s\nlast operations:\n",
                     static_cast<unsigned long long>(seed), step, what.c_str());
        for (std::size_t i = 0; i < 8; ++i) {
            const std::string& s = log[(step + 1 + i) % 8];
            if (!s.empty()) std::fprintf(stderr, "  %s\n", s.c_str());
        }
        std::fprintf(stderr, "map size %zu, reference size %zu\n", map->size(), ref.v.size());
        std::exit(1);
    }

    static std::string hex(double d) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%016llx",
                      static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(d)));
        return buf;
    }

    void check_entries(const TermMap& m, const char* which) {
        if (m.size() != ref.v.size()) {
            fail(std::string(which) + ": size " + std::to_string(m.size()) + " expected " +
                 std::to_string(ref.v.size()));
        }
        if (m.empty() != ref.v.empty()) fail(std::string(which) + ": empty() disagrees");
        std::size_t i = 0;
        for (const ondrel::Term& t : m) {
            const auto& [id, c] = ref.v[i];
            if (t.id != id || !same_bits(t.coeff, c)) {
                fail(std::string(which) + ": entry " + std::to_string(i) + " is (" +
                     std::to_string(t.id) + ", " + hex(t.coeff) + ") expected (" +
                     std::to_string(id) + ", " + hex(c) + ")");
            }
            ++i;
        }
    }

    void check_present(const TermMap& m, std::size_t i) {
        const auto& [id, c] = ref.v[i];
        const double* f = m.find(id);
        if (f == nullptr || !same_bits(*f, c)) fail("find(" + std::to_string(id) + ") misses a present id");
        if (m.position(id) != i) fail("position(" + std::to_string(id) + ") is not " + std::to_string(i));
    }

    void check_absent(const TermMap& m, VarId id) {
        if (ref.pos(id) != TermMap::npos) return;
        if (m.find(id) != nullptr) fail("find(" + std::to_string(id) + ") finds an absent id");
        if (m.position(id) != TermMap::npos) fail("position of absent id " + std::to_string(id));
    }

    // Whole sequence every step; lookups of every entry for small maps, of a sample and of
    // every id the step touched for large ones, plus absent ids from the pool and far outside.
    void check(bool full) {
        const TermMap& m = *map;
        check_entries(m, "map");
        const std::size_t n = ref.v.size();
        if (full || n <= 64) {
            for (std::size_t i = 0; i < n; ++i) check_present(m, i);
        } else {
            for (int k = 0; k < 24; ++k) check_present(m, rng.below(n));
        }
        for (VarId id : touched) {
            const std::size_t p = ref.pos(id);
            if (p == TermMap::npos) {
                check_absent(m, id);
            } else {
                check_present(m, p);
            }
        }
        for (int k = 0; k < 8; ++k) check_absent(m, pick_id());
        check_absent(m, id_of(family, pool + rng.below(1000)));
        check_absent(m, rng.next());

        if (n > max_size) max_size = n;
        const bool now_above = n > TermMap::kLinearLimit;
        if (now_above != above) ++crossings;
        above = now_above;
    }

    void new_phase() {
        family = static_cast<Family>(rng.below(static_cast<std::size_t>(Family::Count)));
        if (rng.chance(40)) family = Family::Dense;  // erase_flagged needs small ids
        switch (rng.below(10)) {
            case 0: case 1: case 2: case 3: case 4:
                target = rng.below(33);  // around the threshold
                break;
            case 5: case 6: case 7: case 8:
                target = 17 + rng.below(300);
                break;
            default:
                target = 1000 + rng.below(7000);
                break;
        }
        pool = target + 4 + rng.below(target + 8);
    }

    std::vector<bool> random_drop() {
        std::vector<bool> drop(rng.below(pool + 4));
        const unsigned percent = static_cast<unsigned>(rng.below(60));
        for (std::size_t i = 0; i < drop.size(); ++i) drop[i] = rng.chance(percent);
        return drop;
    }

    void fill_junk(TermMap& m) {
        const std::size_t n = rng.below(40);
        for (std::size_t i = 0; i < n; ++i) m.set(rng.next(), 1.0);
    }

    void copy_step() {
        const TermMap& alias = *map;
        switch (rng.below(6)) {
            case 5: {
                note("lend the entries an exact-size buffer");
                const std::size_t n = map->size();
                lent.push_back(std::make_unique<ondrel::Term[]>(n));
                std::copy(map->begin(), map->end(), lent.back().get());
                *map = TermMap::lent(lent.back().get(), n);
                ++lends;
                break;
            }
            case 0: {
                note("copy-construct");
                auto c = std::make_unique<TermMap>(*map);
                check_entries(*map, "copied-from");
                map = std::move(c);
                break;
            }
            case 1: {
                note("copy-assign into a filled map");
                auto c = std::make_unique<TermMap>();
                fill_junk(*c);
                (void)c->find(rng.next());  // make sure a large one has its index
                *c = *map;
                check_entries(*map, "copied-from");
                map = std::move(c);
                break;
            }
            case 2: {
                note("move-construct, then reuse the moved-from map after clear()");
                auto c = std::make_unique<TermMap>(std::move(*map));
                map->clear();
                for (VarId id = 0; id < 40; ++id) map->add(id * 3, 1.0);
                for (VarId id = 0; id < 40; ++id) {
                    if (map->position(id * 3) != id) fail("moved-from map after clear()");
                }
                if (map->find(1) != nullptr) fail("moved-from map after clear() finds 1");
                map = std::move(c);
                break;
            }
            case 3: {
                note("move-assign into a filled map");
                auto c = std::make_unique<TermMap>();
                fill_junk(*c);
                *c = std::move(*map);
                map = std::move(c);
                break;
            }
            default:
                note("self copy-assign");
                *map = alias;
                break;
        }
    }

    void bulk_step() {
        std::size_t n = rng.below(40);
        if (target > 200 && rng.chance(50)) n = rng.below(std::min<std::size_t>(target, 4000));
        std::vector<VarId> ids(n);
        std::vector<double> cs(n);
        for (std::size_t i = 0; i < n; ++i) {
            ids[i] = pick_id();
            cs[i] = maybe_non_finite(rng, n > 0 && rng.chance(10) ? 3 : 0);
        }
        VarId limit = std::numeric_limits<VarId>::max();
        if (n > 0 && rng.chance(15)) {
            limit = ids[rng.below(n)];  // that id, and larger ones, stop
        } else if (family == Family::Dense && rng.chance(50)) {
            limit = pool + rng.below(64);  // a model-sized id range, as a real caller passes
        }
        note("add_checked n=" + std::to_string(n) + (limit == std::numeric_limits<VarId>::max() ? "" : " limited"));
        const std::size_t want = ref.add_checked(ids, cs, limit);
        const std::size_t got = map->add_checked(ids.data(), cs.data(), n, limit);
        if (got != want) {
            fail("add_checked returned " + std::to_string(got) + " expected " + std::to_string(want));
        }
        if (want < n) ++bulk_stops;
        for (std::size_t i = 0; i < want && touched.size() < 64; ++i) touched.push_back(ids[i]);
    }

    void one_step() {
        touched.clear();
        const bool grow = ref.v.size() < target;
        const std::size_t r = rng.below(100);
        if (r < (grow ? 36u : 14u)) {
            const VarId id = pick_id();
            const double c = maybe_non_finite(rng, 2);
            note("add " + std::to_string(id) + " " + hex(c));
            ref.add(id, c);
            map->add(id, c);
            touched.push_back(id);
        } else if (r < (grow ? 52u : 26u)) {
            const VarId id = rng.chance(70) || ref.v.empty() ? pick_id() : ref.v[rng.below(ref.v.size())].first;
            const double c = maybe_non_finite(rng, 2);
            note("set " + std::to_string(id) + " " + hex(c));
            ref.set(id, c);
            map->set(id, c);
            touched.push_back(id);
        } else if (r < (grow ? 62u : 70u)) {
            const VarId id = rng.chance(80) && !ref.v.empty() ? ref.v[rng.below(ref.v.size())].first : pick_id();
            note("erase " + std::to_string(id));
            const bool want = ref.erase(id);
            if (map->erase(id) != want) fail("erase(" + std::to_string(id) + ") result");
            touched.push_back(id);
        } else if (r < (grow ? 68u : 80u)) {
            const std::vector<bool> drop = random_drop();
            note("erase_flagged size " + std::to_string(drop.size()));
            ref.erase_flagged(drop);
            map->erase_flagged(drop);
        } else if (r < 86) {
            bulk_step();
        } else if (r < 91) {
            const std::size_t n = rng.below(2 * ref.v.size() + 64);
            note("reserve " + std::to_string(n));
            map->reserve(n);
        } else if (r < 96) {
            copy_step();
        } else if (r < 98) {
            const double f = coefficient(rng);
            note("scale " + hex(f));
            for (auto& t : ref.v) t.second = t.second * f;
            map->scale(f);
        } else if (rng.chance(25) || ref.v.size() > 4 * target + 64) {
            note("clear");
            ref.v.clear();
            map->clear();
        } else {
            copy_step();
        }
    }

    void run(std::size_t steps) {
        std::size_t phase_end = 0;
        for (step = 0; step < steps; ++step) {
            if (step == phase_end) {
                check(true);
                new_phase();
                note(std::string("phase ") + family_name(family) + " target " + std::to_string(target));
                phase_end = step + 40 + rng.below(target > 500 ? 120 : 400);
            }
            one_step();
            if (family == Family::SameSlotFirst || family == Family::SameSlotLast) ++collision_steps;
            check(false);
        }
        check(true);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: term_map_check SEED [STEPS]\n");
        return 2;
    }
    const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    const std::size_t steps = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 20000;
    Runner r(seed);
    r.run(steps);
    std::printf("ok seed=%llu steps=%zu crossings=%zu max_size=%zu bulk_stops=%zu collision_steps=%zu lends=%zu\n",
                static_cast<unsigned long long>(seed), steps, r.crossings, r.max_size, r.bulk_stops,
                r.collision_steps, r.lends);
    return 0;
}
