// The reversed terms of one index (trie/reversed_terms.hpp), and its nodes'
// paths backwards (trie/tail_index.hpp), each derived on first use.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace quellnor {

struct Trie;
struct ReversedTerms;
struct TailIndex;

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

    // Null where index_tails says so, or where memory ran out deriving it;
    // kept ones, where they do not fit the trie (a damaged file). For the
    // walks that need every node within reach.
    const TailIndex* tails_of(const Trie& trie) const;

    // The ones served so far, kept or derived, without deriving any: null
    // where none has been derived yet (or one is being derived).
    const ReversedTerms* ready(const Trie& trie) const;
    const TailIndex* tails_ready(const Trie& trie) const;

    // Reversed terms read from an index file, given before any query asks:
    // served from then on instead of derived ones, and shared by copies.
    void keep(std::shared_ptr<ReversedTerms> kept);
    // What an index file should keep: the ones kept, or none.
    const ReversedTerms* kept() const { return kept_.get(); }

    // The same for the tail index.
    void keep_tails(std::shared_ptr<TailIndex> kept) { kept_tails_ = std::move(kept); }
    const TailIndex* kept_tails() const { return kept_tails_.get(); }

private:
    struct State;
    State& state() const;
    mutable std::atomic<State*> state_{nullptr};  // made by the first to ask, owned
    std::shared_ptr<ReversedTerms> kept_;
    std::shared_ptr<TailIndex> kept_tails_;
};

}  // namespace quellnor
