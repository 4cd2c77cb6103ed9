#include "suggest/active_nodes.hpp"

#include <algorithm>

#include "search/choose_walk.hpp"

namespace quellnor {

namespace {

// Takes every hit with its depth, which is the length of its path.
struct ActiveReporter {
    search::Budget& budget;
    std::vector<ActiveNode>& out;

    bool may_stop_early() const { return false; }
    bool wants(std::size_t) const { return true; }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path& path) {
        budget.reserve(out, out.size() + 1);
        const auto depth = static_cast<std::uint32_t>(path().size());
        out.push_back({static_cast<std::uint32_t>(node), distance, depth, kNoAncestor});
        return false;
    }
};

static_assert(search::Reporter<ActiveReporter>);

// In pre-order a node's active ancestors are the nodes before it still open
// at a smaller depth: one stack holds them, each with the smallest distance
// from it up.
void note_ancestors(std::vector<ActiveNode>& nodes, search::Budget& budget) {
    struct Open {
        std::uint32_t depth;
        std::uint32_t smallest;
    };
    std::vector<Open> open;
    for (ActiveNode& at : nodes) {
        while (!open.empty() && open.back().depth >= at.depth) open.pop_back();
        at.above = open.empty() ? kNoAncestor : open.back().smallest;
        budget.reserve(open, open.size() + 1);
        open.push_back({at.depth, std::min(at.distance, at.above)});
    }
}

}  // namespace

std::vector<ActiveNode> active_nodes(const Trie& trie, std::u32string_view query,
                                     std::uint32_t threshold, bool transpositions,
                                     search::Budget& budget) {
    std::vector<ActiveNode> out;
    if (trie.has_no_nodes()) return out;
    if (query.size() <= threshold) {
        budget.reserve(out, 1);
        out.push_back({0, static_cast<std::uint32_t>(query.size()), 0, kNoAncestor});
    }
    ActiveReporter report{budget, out};
    if (transpositions)
        search::choose_walk<search::Metric::optimal_alignment>(trie, query, threshold, budget, report);
    else
        search::choose_walk<search::Metric::levenshtein>(trie, query, threshold, budget, report);
    note_ancestors(out, budget);
    return out;
}

}  // namespace quellnor
