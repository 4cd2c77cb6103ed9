#include "suggest/active_nodes.hpp"

#include <algorithm>
#include <string>

#include "search/choose_walk.hpp"
#include "search/tail_cut_walk.hpp"

namespace quellnor {

namespace {

// Takes every hit with its depth (the length of its path) and the smallest
// distance among the active nodes above it. Hits come in pre-order, so the
// active nodes above a hit are those above the hit before it, down to the
// depth where the two paths part: one stack holds them, each with the
// smallest distance from it up. Nodes are told apart by their paths, which
// in a trie from a builder are unique.
class ActiveReporter {
public:
    ActiveReporter(search::Budget& budget, std::vector<ActiveNode>& out) : budget_(budget), out_(out) {}

    bool may_stop_early() const { return false; }
    bool wants(std::size_t) const { return true; }

    // The root, when the query is near enough to the empty path.
    void take_root(std::uint32_t distance) { take(0, distance, 0, 0); }

    // A node the tail-cut walk reached, in pre-order like the rest.
    void take_reached(const search::ReachedNode& at) {
        take(at.node, at.distance, at.depth, std::min(at.parting, at.depth - 1));
    }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path& spell_path) {
        const std::u32string_view path = spell_path();
        const std::size_t shared = std::mismatch(path.begin(), path.end(), previous_.begin(),
                                                 previous_.end()).first - path.begin();
        previous_.assign(path);
        take(static_cast<std::uint32_t>(node), distance, static_cast<std::uint32_t>(path.size()),
             std::min(shared, path.size() - 1));
        return false;
    }

private:
    struct Open {
        std::size_t depth;
        std::uint32_t smallest;
    };

    void take(std::uint32_t node, std::uint32_t distance, std::uint32_t depth, std::size_t shared) {
        while (!open_.empty() && open_.back().depth > shared) open_.pop_back();
        const std::uint32_t above = open_.empty() ? kNoAncestor : open_.back().smallest;
        budget_.reserve(out_, out_.size() + 1);
        out_.push_back({node, distance, depth, above});
        budget_.reserve(open_, open_.size() + 1);
        open_.push_back({depth, std::min(distance, above)});
    }

    search::Budget& budget_;
    std::vector<ActiveNode>& out_;
    std::vector<Open> open_;
    std::u32string previous_;
};

static_assert(search::Reporter<ActiveReporter>);

// The nodes within reach, by the tail-cut walk where `may_cut` and it
// serves, by the plain walk otherwise.
std::vector<ActiveNode> reach(const Trie& trie, std::u32string_view query, std::uint32_t threshold,
                              bool transpositions, search::Budget& budget, bool may_cut) {
    std::vector<ActiveNode> out;
    if (trie.has_no_nodes()) return out;
    ActiveReporter report(budget, out);
    if (query.size() <= threshold) report.take_root(static_cast<std::uint32_t>(query.size()));
    std::vector<search::ReachedNode> reached;
    if (may_cut && search::tail_cut_walk(trie, query, threshold, transpositions, budget, reached)) {
        search::note_partings(trie, reached);
        for (const search::ReachedNode& at : reached) report.take_reached(at);
    } else if (transpositions) {
        search::choose_walk<search::Metric::optimal_alignment>(trie, query, threshold, budget, report);
    } else {
        search::choose_walk<search::Metric::levenshtein>(trie, query, threshold, budget, report);
    }
    return out;
}

}  // namespace

std::vector<ActiveNode> active_nodes(const Trie& trie, std::u32string_view query,
                                     std::uint32_t threshold, bool transpositions,
                                     search::Budget& budget) {
    return reach(trie, query, threshold, transpositions, budget, true);
}

std::vector<ActiveNode> plain_active_nodes(const Trie& trie, std::u32string_view query,
                                           std::uint32_t threshold, bool transpositions,
                                           search::Budget& budget) {
    return reach(trie, query, threshold, transpositions, budget, false);
}

}  // namespace quellnor
