// The layout flags: what the walks may assume about a trie's numbering.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

namespace {

bool slots_hold_next_nodes(const Array<std::uint32_t>& transitions) {
    for (std::size_t slot = 0; slot < transitions.size(); ++slot)
        if (transitions[slot] != slot + 1) return false;
    return true;
}

// With slots following nodes: whether the shifts never step back and the
// last one is within the slots. Each node's run then follows the previous
// node's and lies inside the arrays; no slot is in two runs, so every node
// has at most one parent. A cycle would need the parent of each of its nodes
// inside it, so the root, which is no slot's child, reaches none: what it
// reaches is a tree, numbered breadth first.
bool runs_follow_one_another(const Trie& trie) {
    const std::size_t nodes = trie.node_shifts.size();
    const std::size_t slots = trie.child_transitions.size();
    if (trie.child_labels.size() != nodes || slots + 1 != nodes) return false;
    if (nodes > std::numeric_limits<std::uint32_t>::max()) return false;  // ids fit 32 bits
    const auto& shifts = trie.node_shifts;
    return std::is_sorted(shifts.begin(), shifts.end()) && shifts.back() <= slots;
}

// Whether every node has a term-end flag, so that no walk can fault on one.
// Where some node lacks it, the first such node a walk reaches names the
// fault, and only the depth-first order gives the same one to every walk.
bool every_node_flagged(const Trie& trie) {
    return trie.is_terminal.size() >= trie.node_shifts.size();
}

// For a tree numbered breadth first: whether every run's labels strictly
// ascend. Slot s holds node s + 1, so a run's labels lie side by side.
bool siblings_ascend(const Trie& trie) {
    const std::span<const char32_t> labels(trie.child_labels);
    const std::size_t nodes = trie.node_shifts.size();
    for (std::size_t node = 0; node < nodes; ++node) {
        const ChildRange run = trie.child_range(node);
        for (std::size_t slot = run.begin + 1; slot < run.end; ++slot)
            if (labels[slot + 1] <= labels[slot]) return false;
    }
    return true;
}

// Asks the kernel to map the pages under `array` now. Only a hint: a kernel
// without MADV_POPULATE_READ says no, and the pages fault in as read.
template <class T>
void prefault(const Array<T>& array) {
    if (!array.is_view()) return;
#ifdef MADV_POPULATE_READ
    if (array.empty()) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(array.data()) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(array.data() + array.size());
    (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);
#else
    (void)array;
#endif
}

}  // namespace

void Trie::note_layout() {
    // Derived ones came from the arrays as they were; kept ones come from the
    // same file as the arrays, which never change.
    if (reversed.kept() == nullptr && reversed.kept_tails() == nullptr) reversed = LazyReversedTerms();
    // Arrays mapped from a file: their pages come in one call rather than
    // one fault at a time.
    prefault(node_shifts);
    prefault(child_transitions);
    slots_follow_nodes = slots_hold_next_nodes(child_transitions);
    breadth_first_tree =
        slots_follow_nodes && runs_follow_one_another(*this) && every_node_flagged(*this);
    sorted_siblings = breadth_first_tree && siblings_ascend(*this);
}

}  // namespace quellnor
