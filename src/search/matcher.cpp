// The two matchers: one walk each, which differ only in what they report.
#include "search/matcher.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "search/choose_walk.hpp"
#include "search/split_walk.hpp"
#include "search/tail_cut_walk.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

// Appends a hit to the terms found, spelt in UTF-8.
void append_term(std::vector<MatchResult>& out, std::size_t node, std::uint32_t distance,
                 std::u32string_view path, search::Budget& budget) {
    std::size_t bytes = 0;
    for (const char32_t c : path) bytes += utf8::encoded_length(utf8::scalar_or_replacement(c));
    budget.charge(bytes);
    budget.reserve(out, out.size() + 1);
    std::string term(bytes, '\0');
    char* at = term.data();
    // Labels come from validated text or validated bytes, but a hand-built
    // Trie may hold anything: results stay valid UTF-8 all the same.
    for (const char32_t c : path) at = utf8::encode(at, utf8::scalar_or_replacement(c));
    out.push_back({std::move(term), node, distance});
}

// Reports the terms: the hits that end a term, each spelt in UTF-8.
struct TermReporter {
    const Trie& trie;
    std::optional<std::uint64_t> limit;
    search::Budget& budget;
    std::vector<MatchResult>& out;
    // Slots granted at a time once a walk's allowance is spent (0: none).
    std::size_t grant = 0;

    bool may_stop_early() const { return limit.has_value(); }
    bool wants(std::size_t node) const { return checked_at(trie.is_terminal, node) != 0; }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path& spell_path) {
        append_term(out, node, distance, spell_path(), budget);
        // The limit is looked at only after a report, so 0 still yields one hit.
        return limit.has_value() && out.size() >= *limit;
    }

    // The hits found so far in `spent` slots foretell how many more slots the
    // walk needs to reach the limit. Where that is within a couple of grants,
    // about what the walk it would give way to costs, it goes on: giving way
    // would throw away what it has spent. Going on can only lower the worst
    // case against the plain walk, as any later switch comes after more
    // slots the plain walk too would have tried; hits come in bursts, so the
    // forecast is generous (two grants, not one).
    static constexpr std::uint64_t kGrantsForeseen = 2;
    std::size_t more_slots(std::size_t spent) const {
        if (!limit.has_value() || out.empty() || spent == 0) return 0;
        const std::uint64_t found = out.size();
        const std::uint64_t missing = std::max<std::uint64_t>(*limit, 1) - std::min<std::uint64_t>(found, *limit);
        return missing <= kGrantsForeseen * found * grant / spent ? grant : 0;
    }
};

// Reports the nodes: every hit, or only those that end a term.
struct NodeReporter {
    const Trie& trie;
    bool terminal_only;
    search::Budget& budget;
    std::vector<NodeMatch>& out;

    bool may_stop_early() const { return false; }
    bool wants(std::size_t node) const {
        return !terminal_only || checked_at(trie.is_terminal, node) != 0;
    }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path&) {
        budget.reserve(out, out.size() + 1);
        out.push_back({node, distance});
        return false;
    }
};

static_assert(search::Reporter<TermReporter> && search::Reporter<NodeReporter>);
static_assert(search::GrantsMoreSlots<TermReporter>);

// Slots the plain walk may try, at one and two edits, before a limited query
// goes to the split walk instead. A few hits can be found by the plain walk
// in far fewer slots than the split walk tries, but it takes many slots to
// find many hits: for a small limit the plain walk gets about what it takes
// to walk a large word list in full; for a larger one, about what the split
// walk tries for a typical query. Chosen with bench/speed.py's worst cases.
constexpr std::size_t kSmallLimit = 32;
constexpr std::size_t kPlainFirstSlots[2][2] = {{5'000, 50'000}, {500, 5'000}};

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint64_t> limit) {
    CodePointBuffer buffer;
    const std::u32string_view query = utf8::decode(term, buffer);
    // As the plain walk, which stops right after the hit that reaches the limit.
    const std::optional<std::size_t> wanted =
        limit.has_value() ? std::optional<std::size_t>(static_cast<std::size_t>(
                                std::clamp<std::uint64_t>(*limit, 1, SIZE_MAX)))
                          : std::nullopt;
    // What the split walk does not serve (other thresholds, queries too short
    // or too long) goes straight to the plain walk: on a query of a few code
    // points, setting up the rest costs a few per cent of the walk.
    if (!search::split_walk_serves(query.size(), max_dist, wanted.has_value()))
        return fuzzy_match_plain(trie, query, max_dist, limit);
    std::vector<MatchResult> out;
    if (wanted.has_value() && trie.breadth_first_tree) {
        // The plain walk ends at its first few hits, which may lie anywhere in
        // pre-order, while the split walk pays for its reversed walk in full:
        // the plain walk goes first, within its allowance. Only a tree
        // numbered breadth first can have reversed terms; whether this one
        // does is asked only if the allowance runs out.
        search::Budget budget;
        const std::size_t allowance = kPlainFirstSlots[*wanted < kSmallLimit ? 0 : 1][max_dist - 1];
        TermReporter report{trie, limit, budget, out, allowance};
        if (search::walk_depth_first_within(trie, query, max_dist, budget, report, allowance))
            return out;
        out.clear();
    }
    search::Budget budget;
    search::SplitMatches split;
    if (search::split_walk(trie, query, max_dist, wanted, true, budget, split)) {
        for (const search::SplitHit& hit : split.hits) {
            if (wanted.has_value() && out.size() >= *wanted) break;
            append_term(out, hit.node, hit.distance, split.path(hit), budget);
        }
        return out;
    }
    return fuzzy_match_plain(trie, query, max_dist, limit);
}

std::vector<MatchResult> fuzzy_match_plain(const Trie& trie, std::u32string_view query,
                                           std::uint32_t max_dist, std::optional<std::uint64_t> limit) {
    std::vector<MatchResult> out;
    search::Budget budget;
    TermReporter report{trie, limit, budget, out};
    search::choose_walk(trie, query, max_dist, budget, report);
    return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view query,
                                         std::uint32_t max_dist, bool terminal_only) {
    std::vector<NodeMatch> out;
    search::Budget budget;
    search::SplitMatches split;
    if (terminal_only && search::split_walk(trie, query, max_dist, std::nullopt, false, budget, split)) {
        budget.reserve(out, split.hits.size());
        for (const search::SplitHit& hit : split.hits) out.push_back({hit.node, hit.distance});
        return out;
    }
    std::vector<search::ReachedNode> reached;
    if (!terminal_only && search::tail_cut_walk(trie, query, max_dist, false, budget, reached)) {
        budget.reserve(out, reached.size());
        for (const search::ReachedNode& at : reached) out.push_back({at.node, at.distance});
        return out;
    }
    NodeReporter report{trie, terminal_only, budget, out};
    search::choose_walk(trie, query, max_dist, budget, report);
    return out;
}

}  // namespace quellnor
