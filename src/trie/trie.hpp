// The index: a character trie stored as six flat arrays, one entry per node or
// per edge, with no per-node objects and no pointers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "array.hpp"
#include "fault.hpp"
#include "payload/table.hpp"
#include "trie/lazy_reversed.hpp"

namespace quellnor {

using VideoKey = std::array<std::uint8_t, 16>;

// Half-open range of positions in child_transitions.
struct ChildRange {
    std::size_t begin;
    std::size_t end;
    bool empty() const { return end <= begin; }
};

struct Trie {
    // Declaration order is also the serialized order.
    Array<std::uint32_t> node_shifts;          // per node: first slot of its children
    Array<char32_t> child_labels;              // per node: label of the edge into it; 0 = none
    Array<std::uint32_t> child_transitions;    // per slot: child node
    PayloadTable payloads;                     // per node, optional
    Array<VideoKey> video_index;               // per video id: its 16-byte key
    Array<std::uint8_t> is_terminal;           // per node: 0 or 1

    // What keeps the memory of viewing arrays alive (an index file's
    // mapping); null when every array owns its elements.
    std::shared_ptr<const void> backing;

    // Derived from child_transitions, never serialized: slot s holds node
    // s + 1 for every slot, as breadth-first numbering makes it. The walk then
    // finds a child without reading child_transitions. Set by note_layout().
    bool slots_follow_nodes = false;

    // Derived as well: besides following nodes, slots form one run per node
    // in node order, inside the arrays, as IndexBuilder lays them out, and
    // every node has its term-end flag. What the root reaches is then a tree
    // numbered breadth first, so within one depth its nodes come in
    // pre-order, and its runs and flags can be read without a fault. Set by
    // note_layout().
    bool breadth_first_tree = false;

    // Derived as well, for trees numbered breadth first: within every run the
    // children's labels strictly ascend, as a builder lays them out. A label
    // then leads to one child at most, so the way a text spells from the root
    // is the only one, and a walk that must spell it may be led along it.
    // Set by note_layout().
    bool sorted_siblings = false;

    // Derived on first use, never serialized: the terms spelt backwards, for
    // the walks that start from the end of a query.
    LazyReversedTerms reversed;

    // Equality of the six arrays; the derived flags follow from them.
    bool operator==(const Trie& other) const {
        return node_shifts == other.node_shifts && child_labels == other.child_labels &&
               child_transitions == other.child_transitions && payloads == other.payloads &&
               video_index == other.video_index && is_terminal == other.is_terminal;
    }

    // Works out the derived layout flags; call once the arrays are final.
    void note_layout();

    // A trie mapped from a file leaves its layout to the first query rather
    // than to opening, which then costs the same for any size: set while the
    // layout is still to be worked out; the flags stay false till then,
    // which every walk serves, only slower.
    std::shared_ptr<std::once_flag> layout_pending;

    // Works out the layout flags if they are still pending, once, whichever
    // thread asks first; the others wait for it. Call before a walk.
    void ensure_layout() {
        if (layout_pending) std::call_once(*layout_pending, [this] { note_layout(); });
    }

    // No nodes at all: the index was built from six empty arrays.
    bool has_no_nodes() const { return node_shifts.empty() && child_labels.empty(); }

    // Children of `node` are child_transitions[begin..end). The range ends at
    // the next node's shift, or at the end of child_transitions for the last
    // node. Faults if `node` has no shift.
    [[gnu::always_inline]] ChildRange child_range(std::size_t node) const {
        const std::size_t begin = checked_at(node_shifts, node);
        const std::size_t end = node + 1 < node_shifts.size() ? node_shifts[node + 1]
                                                               : child_transitions.size();
        return {begin, end};
    }

    // Aggregates every node's payload over its subtree, cutting each merged
    // list to `video_top_n` entries. Runs once, at construction from arrays.
    void propagate(std::uint64_t video_top_n);
};

}  // namespace quellnor
