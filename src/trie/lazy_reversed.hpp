// The reversed terms of one index (trie/reversed_terms.hpp), derived on
// first use.
#pragma once

#include <memory>

namespace quellnor {

struct Trie;
struct ReversedTerms;

// Derived by whichever thread asks first, while any others wait: walks run
// with the interpreter's lock released. Users who never ask beyond exact
// matches never pay for them. A copy starts afresh, as it may be given other
// arrays before anyone asks.
class LazyReversedTerms {
public:
    LazyReversedTerms();
    ~LazyReversedTerms();
    LazyReversedTerms(const LazyReversedTerms&);
    LazyReversedTerms& operator=(const LazyReversedTerms&);
    LazyReversedTerms(LazyReversedTerms&&) noexcept;
    LazyReversedTerms& operator=(LazyReversedTerms&&) noexcept;

    // Null where reverse_terms says so, or where memory ran out deriving
    // them: the plain walks serve then.
    const ReversedTerms* of(const Trie& trie) const;

private:
    struct State;
    std::unique_ptr<State> state_;  // null only once moved from
};

}  // namespace quellnor
