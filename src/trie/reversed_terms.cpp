// Deriving the reversed terms: each term spelt backwards, the lot sorted, and
// the sorted list laid out as a trie breadth first.
#include "trie/reversed_terms.hpp"

#include <algorithm>
#include <deque>
#include <mutex>
#include <new>
#include <numeric>
#include <string_view>
#include <utility>

#include "payload/pages.hpp"
#include "text/code_sort.hpp"
#include "trie/preorder.hpp"
#include "trie/tail_index.hpp"

namespace quellnor {

namespace {

// Past this many code points of terms per node of the index (besides a
// fixed allowance), the terms share so little that reversing them is not
// worth the memory: a trie of one long chain whose every node ends a term
// would spell a number of code points that grows with the square of its
// length.
constexpr std::size_t kCodePointsPerNode = 16;
constexpr std::size_t kCodePointAllowance = std::size_t{1} << 20;

// Every term backwards in one block, with where each begins and the node of
// the index that ends it.
struct TermTexts {
    std::vector<char32_t> text;
    std::vector<std::uint32_t> begin;  // one more than there are terms
    std::vector<std::uint32_t> forward;

    std::u32string_view term(std::uint32_t i) const {
        return {text.data() + begin[i], begin[i + 1] - begin[i]};
    }
};

// Walks the index in pre-order, spelling its terms; false when they grow
// too long together. The index is a tree numbered breadth first, so its
// slots and shifts are all in bounds.
bool spell_backwards(const Trie& trie, TermTexts& terms) {
    const std::size_t nodes = trie.node_shifts.size();
    const std::size_t most = kCodePointsPerNode * nodes + kCodePointAllowance;
    std::vector<char32_t> path;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{0, 0}};  // node, depth
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        path.resize(depth);
        if (depth > 0) path[depth - 1] = trie.child_labels[node];
        if (depth > 0 && trie.is_terminal[node] != 0) {
            if (depth > most - terms.text.size()) return false;
            terms.begin.push_back(static_cast<std::uint32_t>(terms.text.size()));
            terms.text.insert(terms.text.end(), path.rbegin(), path.rend());
            terms.forward.push_back(node);
        }
        const ChildRange run = trie.child_range(node);
        for (std::size_t slot = run.end; slot-- > run.begin;)  // last first: popped in order
            stack.emplace_back(static_cast<std::uint32_t>(slot + 1), depth + 1);
    }
    terms.begin.push_back(static_cast<std::uint32_t>(terms.text.size()));
    return true;
}

// The terms in the order of their reversed spellings, their text copied in
// that order so that laying them out reads it front to back; empty when two
// spell the same, which a trie with two equal labels below one node can.
TermTexts sorted_terms(const TermTexts& terms) {
    // First by as many code points as fit in a word, sorted by counting;
    // then the terms still tied, by the rest of their text.
    const CodeRanks ranks(terms.text);
    const std::size_t decided = static_cast<std::size_t>(ranks.per_key());
    std::vector<std::uint64_t> keys(terms.forward.size());
    std::vector<std::uint32_t> order(terms.forward.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
        const std::u32string_view term = terms.term(i);
        std::uint64_t key = 0;
        for (std::size_t at = 0; at < decided; ++at) key = key << ranks.bits() | (at < term.size() ? ranks(term[at]) : 0);
        keys[i] = key;
        order[i] = i;
    }
    sort_by_counting(keys, order, ranks.per_key() * ranks.bits());
    const auto same_key = [&](std::size_t a, std::size_t b) { return keys[a] == keys[b]; };
    for_each_run(0, order.size(), same_key, [&](std::size_t begin, std::size_t end) {
        if (end - begin < 2) return;
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(begin), order.begin() + static_cast<std::ptrdiff_t>(end),
                  [&](std::uint32_t a, std::uint32_t b) {
                      const std::u32string_view x = terms.term(a), y = terms.term(b);
                      return x.substr(std::min(decided, x.size())) < y.substr(std::min(decided, y.size()));
                  });
    });
    TermTexts sorted;
    sorted.text.reserve(terms.text.size());
    sorted.begin.reserve(terms.begin.size());
    sorted.forward.reserve(terms.forward.size());
    std::u32string_view previous;
    for (const std::uint32_t i : order) {
        const std::u32string_view term = terms.term(i);
        if (!sorted.forward.empty() && term == previous) return {};
        previous = term;
        sorted.begin.push_back(static_cast<std::uint32_t>(sorted.text.size()));
        sorted.text.insert(sorted.text.end(), term.begin(), term.end());
        sorted.forward.push_back(terms.forward[i]);
    }
    sorted.begin.push_back(static_cast<std::uint32_t>(sorted.text.size()));
    return sorted;
}

// A node still to be laid out: the sorted terms below it, which share their
// first `depth` code points.
struct Pending {
    std::uint32_t first;
    std::uint32_t end;
    std::uint32_t depth;
};

// The nodes sorted terms make: the root, and for each term the code points
// it does not share with the one before.
std::size_t count_nodes(const TermTexts& terms) {
    std::size_t nodes = 1;
    std::u32string_view previous;
    for (std::uint32_t i = 0; i < terms.forward.size(); ++i) {
        const std::u32string_view term = terms.term(i);
        const auto shared = std::mismatch(term.begin(), term.end(), previous.begin(), previous.end()).first;
        nodes += static_cast<std::size_t>(term.end() - shared);
        previous = term;
    }
    return nodes;
}

// Lays sorted terms out as a trie numbered breadth first: the nodes are
// numbered as they are queued, and each node's children are queued together,
// so slot s holds node s + 1.
void lay_out(const TermTexts& terms, ReversedTerms& out) {
    Trie& trie = out.trie;
    const std::size_t nodes = count_nodes(terms);
    trie.node_shifts.reserve(nodes);
    trie.child_labels.reserve(nodes);
    trie.is_terminal.reserve(nodes);
    out.term_ends.reserve(terms.forward.size());
    out.forward_nodes.reserve(terms.forward.size());
    // Only the nodes queued and not yet laid out are held: at most the
    // widest level and the next, far fewer than all the nodes.
    std::deque<Pending> queue;
    std::size_t queued = 1;  // nodes numbered so far
    queue.push_back({0, static_cast<std::uint32_t>(terms.forward.size()), 0});
    trie.child_labels.push_back(U'\0');
    // Sorted terms below a node that do not end there all go on past it; a
    // fault in the sort would otherwise send this past a term's end.
    const auto code_at = [&](std::uint32_t term, std::uint32_t depth) {
        const std::u32string_view text = terms.term(term);
        if (depth >= text.size()) throw Fault("the reversed terms came out of their sort unsorted");
        return text[depth];
    };
    for (std::size_t node = 0; !queue.empty(); ++node) {
        auto [first, end, depth] = queue.front();
        queue.pop_front();
        trie.node_shifts.push_back(static_cast<std::uint32_t>(queued - 1));
        // A term that ends here sorts before every longer one below.
        const bool ends_here = first < end && terms.term(first).size() == depth;
        trie.is_terminal.push_back(ends_here ? 1 : 0);
        if (ends_here) {
            out.term_ends.push_back(static_cast<std::uint32_t>(node));
            out.forward_nodes.push_back(terms.forward[first++]);
        }
        while (first < end) {
            const char32_t label = code_at(first, depth);
            std::uint32_t run_end = first + 1;
            while (run_end < end && code_at(run_end, depth) == label) ++run_end;
            queue.push_back({first, run_end, depth + 1});
            ++queued;
            trie.child_labels.push_back(label);
            first = run_end;
        }
    }
    trie.child_transitions.resize(queued - 1);
    std::iota(trie.child_transitions.begin(), trie.child_transitions.end(), 1U);
    trie.note_layout();
}

}  // namespace

std::uint32_t ReversedTerms::forward_node(std::uint32_t node) const {
    const auto at = std::lower_bound(term_ends.begin(), term_ends.end(), node);
    if (at == term_ends.end() || *at != node) throw Fault("a reversed term has no node in the index");
    return forward_nodes[static_cast<std::size_t>(at - term_ends.begin())];
}

namespace {

std::unique_ptr<ReversedTerms> derive(const Trie& trie) {
    auto out = std::make_unique<ReversedTerms>();
    TermTexts terms;
    if (!spell_backwards(trie, terms)) return nullptr;
    out->preorder_rank = rank_in_preorder(trie, walk_breadth_first(trie));
    const TermTexts sorted = sorted_terms(terms);
    if (sorted.forward.size() != terms.forward.size()) return nullptr;
    terms = TermTexts{};  // copied in sorted order: let go before the layout's height
    lay_out(sorted, *out);
    return out;
}

}  // namespace

std::unique_ptr<ReversedTerms> reverse_terms(const Trie& trie) {
    if (!trie.breadth_first_tree || trie.has_no_nodes()) return nullptr;
    auto out = derive(trie);
    // The spelt and sorted texts were larger than what is kept, and grew in
    // steps: handed back, they do not stay resident in every process that
    // derives its own.
    return_free_pages();
    return out;
}

struct LazyReversedTerms::State {
    std::once_flag once;
    std::unique_ptr<ReversedTerms> terms;
    std::once_flag tails_once;
    std::unique_ptr<TailIndex> tails;  // derived ones
    const TailIndex* tails_served = nullptr;
    // Set once each derivation has ended, for ready() and tails_ready().
    std::atomic<bool> terms_done{false};
    std::atomic<bool> tails_done{false};
};

LazyReversedTerms::LazyReversedTerms() = default;
LazyReversedTerms::~LazyReversedTerms() { delete state_.load(std::memory_order_acquire); }
// Kept ones view arrays that copies of the index view too, so copies share
// them; derived ones are derived afresh.
LazyReversedTerms::LazyReversedTerms(const LazyReversedTerms& other)
    : kept_(other.kept_), kept_tails_(other.kept_tails_) {}
LazyReversedTerms& LazyReversedTerms::operator=(const LazyReversedTerms& other) {
    if (this != &other) {
        delete state_.exchange(nullptr, std::memory_order_acq_rel);
        kept_ = other.kept_;
        kept_tails_ = other.kept_tails_;
    }
    return *this;
}
LazyReversedTerms::LazyReversedTerms(LazyReversedTerms&& other) noexcept
    : state_(other.state_.exchange(nullptr, std::memory_order_acq_rel)),
      kept_(std::move(other.kept_)),
      kept_tails_(std::move(other.kept_tails_)) {}
LazyReversedTerms& LazyReversedTerms::operator=(LazyReversedTerms&& other) noexcept {
    if (this != &other) {
        delete state_.exchange(other.state_.exchange(nullptr, std::memory_order_acq_rel),
                               std::memory_order_acq_rel);
        kept_ = std::move(other.kept_);
        kept_tails_ = std::move(other.kept_tails_);
    }
    return *this;
}

// The state, made by the first thread to ask; a thread that loses the race
// to publish its own takes the winner's.
LazyReversedTerms::State& LazyReversedTerms::state() const {
    State* current = state_.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    auto fresh = std::make_unique<State>();
    if (state_.compare_exchange_strong(current, fresh.get(), std::memory_order_acq_rel))
        return *fresh.release();
    return *current;
}

void LazyReversedTerms::keep(std::shared_ptr<ReversedTerms> kept) {
    // Their layout, like the index's, is worked out from their arrays on
    // first use rather than taken from the file.
    kept->trie.layout_pending = std::make_shared<std::once_flag>();
    kept_ = std::move(kept);
}

const ReversedTerms* LazyReversedTerms::of(const Trie& trie) const {
    if (kept_) {
        // Kept ones were written for a tree numbered breadth first; on any
        // other trie (a damaged file) they cannot stand for its terms.
        if (!trie.breadth_first_tree) return nullptr;
        kept_->trie.ensure_layout();
        return kept_.get();
    }
    State& state = this->state();
    std::call_once(state.once, [&] {
        // The plain walks need none of it: short of memory, or with the
        // derivation at fault, they serve alone. And nothing may leave a
        // call_once by an exception: the module's own unwinder cannot pass
        // the C frame of glibc's once, and the process would abort.
        try {
            state.terms = reverse_terms(trie);
        } catch (...) {
        }
        state.terms_done.store(true, std::memory_order_release);
    });
    return state.terms.get();
}

const ReversedTerms* LazyReversedTerms::ready(const Trie& trie) const {
    if (kept_) return of(trie);
    const State* state = state_.load(std::memory_order_acquire);
    return state != nullptr && state->terms_done.load(std::memory_order_acquire) ? state->terms.get() : nullptr;
}

const TailIndex* LazyReversedTerms::tails_ready(const Trie& trie) const {
    if (kept_tails_) return tails_of(trie);
    const State* state = state_.load(std::memory_order_acquire);
    return state != nullptr && state->tails_done.load(std::memory_order_acquire) ? state->tails_served : nullptr;
}

const TailIndex* LazyReversedTerms::tails_of(const Trie& trie) const {
    State& state = this->state();
    std::call_once(state.tails_once, [&] {
        // Kept ones are read without checks, so they are looked over once,
        // one pass over their arrays, rather than trusted.
        if (kept_tails_) {
            state.tails_served = kept_tails_->fits(trie) ? kept_tails_.get() : nullptr;
            return;
        }
        try {  // as for the reversed terms
            state.tails = index_tails(trie);
            state.tails_served = state.tails.get();
        } catch (...) {
        }
        state.tails_done.store(true, std::memory_order_release);
    });
    return state.tails_served;
}

}  // namespace quellnor
