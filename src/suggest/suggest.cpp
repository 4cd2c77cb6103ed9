#include "suggest/suggest.hpp"

#include <algorithm>

#include "search/budget.hpp"
#include "suggest/active_nodes.hpp"
#include "suggest/completion_search.hpp"

namespace quellnor {

namespace {

// Thresholds of the walks: 0, 1 and 2 first, each far cheaper than the next
// and most often enough; then at once the last one, whose walk gives every
// level that is left.
std::uint32_t next_threshold(std::uint32_t walked, std::uint32_t last) {
    return walked < 2 ? walked + 1 : last;
}

// A node where a level starts, as a whole-term match or as the top of its
// completions; for the latter, whether nothing below it lies nearer the
// query, and how many whole-term matches of its level lie below it.
struct Start {
    std::uint32_t level;
    std::uint32_t node;
    bool whole;
    bool clean = false;
    std::uint32_t whole_below = 0;
};

// Levels up to this one note what lies below their starting nodes, which
// lets their top lists serve. Each note reads the starting node's active
// descendants, so a walk with many levels would read each active node once
// per level; most walks have a few.
constexpr std::uint32_t kLastListedLevel = 2;

// Turns one walk's active nodes into suggestions, level by level, until k.
class Levels {
public:
    Levels(const Trie& trie, const CompletionTable& table, const std::vector<ActiveNode>& active,
           std::uint64_t k, search::Budget& budget, std::vector<Suggestion>& out)
        : trie_(trie), table_(table), active_(active), distances_(active, budget), k_(k),
          budget_(budget), out_(out) {}

    // The levels from `from` to `to`, which the walk covers.
    void emit(std::uint32_t from, std::uint32_t to) {
        const std::vector<Start> starts = starts_within(from, to);
        for (auto level = starts.begin(); level != starts.end() && !full();) {
            const auto end = std::find_if(level, starts.end(),
                                          [&](const Start& s) { return s.level != level->level; });
            emit_level(level, end);
            level = end;
        }
    }

private:
    bool full() const { return out_.size() >= k_; }

    bool is_term(std::uint32_t node) const {
        return node != 0 && checked_at(trie_.is_terminal, node) != 0;
    }

    // A node starts completions at its own distance when nothing above it
    // is as near, and is a whole-term match there when nothing above it is
    // nearer.
    std::vector<Start> starts_within(std::uint32_t from, std::uint32_t to) const {
        std::vector<Start> starts;
        for (std::size_t i = 0; i < active_.size(); ++i) {
            const ActiveNode& at = active_[i];
            if (at.distance < from || at.distance > to) continue;
            if (is_term(at.node) && at.above >= at.distance) add(starts, {at.distance, at.node, true});
            if (at.above > at.distance) add(starts, note_below(i));
        }
        std::stable_sort(starts.begin(), starts.end(),
                         [](const Start& a, const Start& b) { return a.level < b.level; });
        return starts;
    }

    // In pre-order, the active nodes below the one at `i` follow it, deeper.
    Start note_below(std::size_t i) const {
        const ActiveNode& top = active_[i];
        Start start{top.distance, top.node, false};
        if (top.distance > kLastListedLevel) return start;
        start.clean = true;
        for (std::size_t j = i + 1; j < active_.size() && active_[j].depth > top.depth; ++j) {
            if (active_[j].distance < top.distance) start.clean = false;
            if (active_[j].distance == top.distance && is_term(active_[j].node)) ++start.whole_below;
        }
        return start;
    }

    void add(std::vector<Start>& starts, const Start& start) const {
        budget_.reserve(starts, starts.size() + 1);
        starts.push_back(start);
    }

    void emit_level(std::vector<Start>::const_iterator begin, std::vector<Start>::const_iterator end) {
        const std::uint32_t level = begin->level;
        std::vector<std::uint32_t> whole;  // their entries
        CompletionSearch completions(table_, distances_, level, budget_);
        for (auto at = begin; at != end; ++at) {
            if (!at->whole) {
                completions.start_at(at->node, k_ - out_.size(), at->clean, at->whole_below);
                continue;
            }
            budget_.reserve(whole, whole.size() + 1);
            whole.push_back(term_entry(at->node));
        }
        std::sort(whole.begin(), whole.end(), [&](std::uint32_t a, std::uint32_t b) {
            const CompletionEntry &x = table_.entries[a], &y = table_.entries[b];
            if (x.weight != y.weight) return x.weight > y.weight;
            return x.rank < y.rank;
        });
        for (const std::uint32_t entry : whole) {
            if (full()) return;
            take(entry, level);
        }
        std::uint32_t entry = 0;
        while (!full() && completions.next(entry)) take(entry, level);
    }

    // Every term has an entry: it holds a term, itself.
    std::uint32_t term_entry(std::uint32_t node) const {
        const std::uint32_t entry = checked_at(table_.entry_of, node);
        if (entry >= table_.entries.size()) throw Fault("a term without an entry");
        return entry;
    }

    void take(std::uint32_t entry, std::uint32_t level) {
        budget_.reserve(out_, out_.size() + 1);
        out_.push_back({entry, level, checked_at(table_.entries, entry).weight});
    }

    const Trie& trie_;
    const CompletionTable& table_;
    const std::vector<ActiveNode>& active_;
    ActiveDistances distances_;
    std::uint64_t k_;
    search::Budget& budget_;
    std::vector<Suggestion>& out_;
};

}  // namespace

std::vector<Suggestion> suggest(const Trie& trie, const CompletionTable& table,
                                std::u32string_view query, const SuggestOptions& options) {
    std::vector<Suggestion> out;
    if (options.k == 0) return out;
    table.require_usable();
    // From the text's length on, the empty prefix is near enough and every
    // term qualifies: no larger threshold adds anything.
    const std::uint32_t last = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        options.max_dist.value_or(automatic_max_dist(query.size())), query.size()));
    search::Budget budget;
    std::uint32_t from = 0;
    for (std::uint32_t walk = 0;; walk = next_threshold(walk, last)) {
        const std::vector<ActiveNode> active =
            active_nodes(trie, query, walk, options.transpositions, budget);
        Levels(trie, table, active, options.k, budget, out).emit(from, walk);
        if (out.size() >= options.k || walk == last) break;
        from = walk + 1;
    }
    return out;
}

}  // namespace quellnor
