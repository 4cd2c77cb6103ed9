// Propagation of a trie that is one tree numbered breadth first, as the
// builder lays it out: one depth at a time from the deepest up, each depth's
// lists written once into a pool of its own. Only the depth below the one
// being finished is read, so no record per node is kept beside the table,
// and the lists are copied once, into the table, in node order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "payload/table.hpp"
#include "trie/build.hpp"
#include "trie/trie.hpp"

namespace quellnor {

// The first node of each depth and then the node count, when every node
// other than the root is the child of exactly one node at the depth above
// and the children of one depth are the nodes right after it, so that
// finishing depth after depth finishes every child before its parent.
// Nothing for any other trie, which the general propagation serves. Reads
// the trie's shape alone.
std::optional<std::vector<std::uint32_t>> depth_starts(const Trie& trie);

// Every node's payload aggregated over its subtree, each list cut to
// `video_top_n` entries: what the general propagation gives for such a trie.
PayloadTable propagate_by_depth(const Trie& trie, std::span<const std::uint32_t> starts,
                                std::uint64_t video_top_n);

// The same with the payloads as supplied read from `supplied`, one per node,
// and the trie's own table left alone: a builder that holds its terms'
// payloads need not first lay them out per node.
PayloadTable propagate_by_depth(const Trie& trie, std::span<const std::uint32_t> starts,
                                PayloadSource& supplied, std::uint64_t video_top_n);

}  // namespace quellnor
