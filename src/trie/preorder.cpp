// Ranks in pre-order from the breadth-first numbering, without a walk in
// pre-order: the size of every subtree, summed from the deepest nodes up,
// and then each child's place after its parent's and its earlier siblings'
// subtrees.
#include "trie/preorder.hpp"

#include <vector>

namespace quellnor {

Array<std::uint32_t> rank_in_preorder(const Trie& trie) {
    const std::size_t nodes = trie.node_shifts.size();
    Array<std::uint32_t> rank;
    if (nodes == 0) return rank;
    // Only what the root reaches is a tree; slot s holds node s + 1.
    std::vector<std::uint32_t> order{0}, parent(nodes, 0);
    for (std::size_t at = 0; at < order.size(); ++at) {
        const ChildRange run = trie.child_range(order[at]);
        for (std::size_t slot = run.begin; slot < run.end; ++slot) {
            parent[slot + 1] = order[at];
            order.push_back(static_cast<std::uint32_t>(slot + 1));
        }
    }
    std::vector<std::uint32_t> size(nodes, 1);
    for (std::size_t at = order.size(); at-- > 1;) size[parent[order[at]]] += size[order[at]];
    rank.assign(nodes, 0);
    for (const std::uint32_t node : order) {
        std::uint32_t next = rank[node] + 1;
        const ChildRange run = trie.child_range(node);
        for (std::size_t slot = run.begin; slot < run.end; ++slot) {
            rank[slot + 1] = next;
            next += size[slot + 1];
        }
    }
    return rank;
}

}  // namespace quellnor
