// The reversed terms of one index (trie/reversed_terms.hpp), derived on
// first use.
#pragma once

#include <atomic>

namespace quellnor {

struct Trie;
struct ReversedTerms;

// Derived by whichever thread asks first, while any others wait. Users who
// never ask beyond exact matches never pay for them, not even a heap block:
// constructing an index allocates nothing more for it. A copy starts afresh,
// as it may be given other arrays before anyone asks.
class LazyReversedTerms {
public:
    LazyReversedTerms();
    ~LazyReversedTerms();
    LazyReversedTerms(const LazyReversedTerms&);
    LazyReversedTerms& operator=(const LazyReversedTerms&);
    LazyReversedTerms(LazyReversedTerms&&) noexcept;
    LazyReversedTerms& operator=(LazyReversedTerms&&) noexcept;

    // Null where reverse_terms says so, or where memory ran out deriving
    // them: the plain walks serve then. Throws std::bad_alloc only where
    // the few bytes of its first use cannot be had.
    const ReversedTerms* of(const Trie& trie) const;

private:
    struct State;
    State& state() const;
    mutable std::atomic<State*> state_{nullptr};  // made by the first to ask, owned
};

}  // namespace quellnor
