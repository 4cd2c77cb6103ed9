// The breadth-first walk of a tree, and ranks in pre-order from it without a
// walk in pre-order: the size of every subtree, summed from the deepest
// nodes up, and then each child's place after its parent's and its earlier
// siblings' subtrees.
#include "trie/preorder.hpp"

namespace quellnor {

BreadthFirst walk_breadth_first(const Trie& trie) {
    BreadthFirst tree;
    const std::size_t nodes = trie.node_shifts.size();
    if (nodes == 0) return tree;
    tree.parent.assign(nodes, 0);
    tree.order.reserve(nodes);
    tree.order.push_back(0);
    // Only what the root reaches is a tree; slot s holds node s + 1.
    for (std::size_t at = 0; at < tree.order.size(); ++at) {
        const ChildRange run = trie.child_range(tree.order[at]);
        for (std::size_t slot = run.begin; slot < run.end; ++slot) {
            tree.parent[slot + 1] = tree.order[at];
            tree.order.push_back(static_cast<std::uint32_t>(slot + 1));
        }
    }
    return tree;
}

Array<std::uint32_t> rank_in_preorder(const Trie& trie, const BreadthFirst& tree) {
    const std::size_t nodes = trie.node_shifts.size();
    Array<std::uint32_t> rank;
    if (nodes == 0) return rank;
    std::vector<std::uint32_t> size(nodes, 1);
    for (std::size_t at = tree.order.size(); at-- > 1;) size[tree.parent[tree.order[at]]] += size[tree.order[at]];
    rank.assign(nodes, 0);
    for (const std::uint32_t node : tree.order) {
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
