// The trie of a set of terms, numbered breadth first with children in label
// order, made straight from the sorted terms without a node object.
//
// The nodes are the distinct prefixes of the terms, in order of (length,
// text). In the sorted terms, term j shares its first shared[j] code points
// with term j-1 and brings the nodes at depths shared[j]+1 .. length[j], so
// each depth's nodes come in the order of the terms that bring them: a
// term's nodes are numbered as it passes, each depth keeping its own cursor.
// Children of one node are then consecutive, slot s holds node s + 1, and
// node_shifts[n] counts the children of the nodes before n.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "build/text_table.hpp"
#include "suggest/completion_table.hpp"

namespace quellnor {

inline constexpr std::uint32_t kNoTerm = 0xFFFF'FFFFu;

// What a term brings to the trie, in code points: it shares `shared` with
// the term before it, and brings the nodes at depths shared+1 .. length.
struct TermShape {
    std::uint32_t shared, length;
};

struct TrieLayout {
    std::vector<std::uint32_t> node_shifts;
    std::vector<char32_t> child_labels;       // 0 for the root
    std::vector<std::uint32_t> term_of_node;  // kNoTerm where no term ends
    // Per sorted term, and the first node of each depth (the last entry:
    // how many nodes there are): enough to number the nodes again.
    std::vector<TermShape> shapes;
    std::vector<std::uint64_t> first_of_depth;
};

// `terms` numbers the terms; `sorted` lists them in byte order of their
// UTF-8, which is code-point order. Every term is non-empty valid UTF-8.
TrieLayout lay_out(const TextTable& terms, std::span<const std::uint32_t> sorted);

// The sorted terms bring their nodes in pre-order, children by label: the
// order the suggestions are derived in, which they then need not find by
// walking the trie. Worked out from the shapes alone, so that it can be
// while the trie is put together from the rest.
KnownOrder preorder_of(const TrieLayout& layout);

// The terms' numbers in code-point order of their text.
std::vector<std::uint32_t> sorted_terms(const TextTable& terms);

}  // namespace quellnor
