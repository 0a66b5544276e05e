// Reading memory that a caller lends for the length of one call: a buffer argument, which
// another thread (one that runs without the interpreter lock, such as an array copy) or another
// process (shared memory) may change while the call runs.
//
// read_once() loads a value exactly once. Code that checks a lent value and then uses it reads
// it into a local with read_once() and checks and uses that local, so what was checked is what
// is used: the compiler may not load the memory again in between, and a change by someone else
// can only make the call see another valid-or-refused value, never an unchecked one.
#pragma once

#include <atomic>
#include <type_traits>

namespace ondrel {

template <class T>
inline T read_once(const T& lent) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    // A relaxed atomic load is an ordinary load on the targets we build for; being atomic, it
    // cannot be repeated or split by the compiler.
    return std::atomic_ref<T>(const_cast<T&>(lent)).load(std::memory_order_relaxed);
}

}  // namespace ondrel
