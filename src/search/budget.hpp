// The memory one walk may hold.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace quellnor::search {

// Ceiling on what one walk may hold: its rows and stack, and the hits it
// collects. Legitimate queries stay far below it; a cyclic trie with a huge
// max_dist reaches it quickly and fails with MemoryError instead of taking the
// machine with it. It also keeps every cell below 2^28: no depth or query
// length that fits in the budget can make 32-bit cell arithmetic wrap.
inline constexpr std::size_t kWalkBudget = std::size_t{512} << 20;

class Budget {
public:
    // Makes room for `needed` elements in `v`, growing geometrically so that
    // the walk reallocates only O(log depth) times, never per node.
    template <class T>
    void reserve(std::vector<T>& v, std::size_t needed) {
        if (needed > v.capacity()) [[unlikely]]
            grow(v, needed);
    }

    // Accounts for memory held outside the tracked vectors (result strings).
    void charge(std::size_t bytes) {
        if (bytes > kWalkBudget - used_) throw std::bad_alloc();
        used_ += bytes;
    }

    // Gives back what a walk that was abandoned had charged.
    void refund(std::size_t bytes) { used_ -= std::min(bytes, used_); }

    // What `v` grew by, in bytes, since it had `old_capacity` elements.
    template <class T>
    static std::size_t growth(const std::vector<T>& v, std::size_t old_capacity) {
        return (v.capacity() - old_capacity) * sizeof(T);
    }

private:
    template <class T>
    [[gnu::noinline]] void grow(std::vector<T>& v, std::size_t needed) {
        const std::size_t old_cap = v.capacity();
        // The largest capacity that keeps the whole walk inside the budget.
        const std::size_t affordable = (kWalkBudget - used_) / sizeof(T) + old_cap;
        if (needed > affordable) throw std::bad_alloc();
        const std::size_t cap =
            std::min(std::max({needed, 2 * old_cap, kFirstCapacity}), affordable);
        v.reserve(cap);
        used_ += (cap - old_cap) * sizeof(T);
    }

    // A vector's first block holds a few elements at once: a query with a
    // handful of hits then grows each of its vectors once, not three times.
    static constexpr std::size_t kFirstCapacity = 8;

    std::size_t used_ = 0;
};

}  // namespace quellnor::search
