// The depth-first walk. It serves any trie: it keeps one edit-distance row
// per depth and an explicit stack instead of recursion, so a trie decoded
// from corrupt bytes (arbitrarily deep, or even cyclic) can only end in a
// result, an index fault or std::bad_alloc, never in a blown native stack.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fault.hpp"
#include "progress.hpp"
#include "search/budget.hpp"
#include "search/lead.hpp"
#include "search/reporter.hpp"
#include "search/row_count.hpp"
#include "search/rows.hpp"
#include "text/code_point_buffer.hpp"
#include "trie/trie.hpp"

namespace quellnor::search {

struct Frame {
    std::size_t next;  // next slot of child_transitions to visit
    std::size_t end;
    char32_t label;    // of the edge into the node whose children these are
};

// In a tree every slot is entered at most once per walk. A trie from corrupt
// bytes may share subtrees or loop, and the number of paths through it can
// grow exponentially with depth: past this many slot visits the structure is
// certainly not a tree, and the walk ends as a fault instead of running for
// ever.
inline std::size_t visit_allowance(const Trie& trie) {
    return 8 * std::max(trie.child_transitions.size(), trie.child_labels.size()) + (1u << 20);
}

// The frames of the walk, one per node whose children are being tried. Kept
// as a plain array with its own top so that a push is a store, not a call.
class FrameStack {
public:
    explicit FrameStack(Budget& budget) : budget_(budget) { grow(16); }

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    Frame& top() { return frames_[size_ - 1]; }
    void pop() { --size_; }
    void push(ChildRange range, char32_t label) {
        if (size_ == frames_.size()) [[unlikely]]
            grow(size_ + 1);
        frames_[size_++] = {range.begin, range.end, label};
    }
    // The labels from the root to the top frame's node, then `last`: every
    // frame below the root's holds the label into its node. Spelled out only
    // when a reporter asks, as the walk may report every node it enters.
    auto path_to(char32_t last) {
        return [this, last]() -> std::u32string_view {
            char32_t* const spelt = path_.room(size_);
            for (std::size_t f = 1; f < size_; ++f) spelt[f - 1] = frames_[f].label;
            spelt[size_ - 1] = last;
            return std::u32string_view(spelt, size_);
        };
    }

private:
    [[gnu::noinline]] void grow(std::size_t needed) {
        budget_.reserve(frames_, needed);
        frames_.resize(frames_.capacity());
    }

    Budget& budget_;
    std::vector<Frame> frames_;
    std::size_t size_ = 0;
    CodePointBuffer path_;  // as long as the stack is deep, which the budget bounds
};

// The arrays a walk reads children from, as local views so that the walk's
// loop keeps their bounds in registers.
struct ChildArrays {
    std::span<const std::uint32_t> transitions;
    std::span<const char32_t> labels;
    // Every slot below this holds a child (node slot + 1) that has a label.
    std::size_t first_slot_needing_checks;

    explicit ChildArrays(const Trie& trie)
        : transitions(trie.child_transitions), labels(trie.child_labels),
          first_slot_needing_checks(
              std::min(transitions.size(), labels.empty() ? 0 : labels.size() - 1)) {}
};

// The children's labels and ranges are read next, at known places: start
// fetching them while the frame is set up. Inlined by force, since to the
// compiler a function of prefetches alone does nothing.
[[gnu::always_inline]] inline void prefetch_children(const Trie& trie, const ChildArrays& arrays,
                                                     ChildRange below) {
    if (below.begin + 1 < std::min(arrays.labels.size(), trie.node_shifts.size())) {
        __builtin_prefetch(&arrays.labels[below.begin + 1]);
        __builtin_prefetch(&trie.node_shifts[below.begin + 1]);
    }
}

// Walks the trie in pre-order, calling `report(node, distance, path)` for
// every entered node whose full distance is within the threshold and that
// `report.wants(node)`; `path()` gives the labels that spell the way to it.
// A reporter returning true stops the walk at once. With SlotsFollowNodes the
// child in slot s is node s + 1 (the trie says so), and child_transitions is
// only bounds-checked, never read.
//
// With an `allowance`, the walk gives up, returning false, before it would
// try more slots than that and whatever more the reporter grants then
// (GrantsMoreSlots); without one it tries as many as a tree can have.
// With a `lead`, it follows that first (search/lead.hpp).
template <bool SlotsFollowNodes, DistanceRows Rows, Reporter Report>
bool walk_depth_first(const Trie& trie, Rows& rows, Budget& budget, Report& report,
                      std::optional<std::size_t> allowance, Lead lead) {
    const ChildRange root = trie.child_range(0);
    if (root.empty()) return true;

    const ChildArrays arrays(trie);
    FrameStack stack(budget);
    std::size_t visits_left = allowance.value_or(visit_allowance(trie));
    std::size_t granted = visits_left;
    Progress progress;
    const auto enter = [&](ChildRange range, char32_t label) {
        if (stack.size() < lead.size()) range = {lead[stack.size()], lead[stack.size()] + std::size_t{1}};
        // Slots are counted as their frame is pushed: one check per node
        // instead of one per slot.
        const std::size_t slots = range.end - range.begin;
        if (slots > visits_left) [[unlikely]] {
            if (!allowance.has_value()) throw Fault("the trie is not a tree: its walk revisits nodes without end");
            std::size_t more = 0;
            if constexpr (GrantsMoreSlots<Report>) more = report.more_slots(granted - visits_left);
            // Still bounded: a grant is at most the allowance again, and
            // cannot make the walk try more than a tree has.
            more = std::min({more, *allowance, visit_allowance(trie) - std::min(granted, visit_allowance(trie))});
            if (slots > visits_left + more) return false;
            visits_left += more;
            granted += more;
        }
        visits_left -= slots;
        progress.advance(slots);
        count_rows(slots);
        stack.push(range, label);
        return true;
    };
    if (!enter(root, U'\0')) return false;

    while (!stack.empty()) {
        Frame& top = stack.top();
        const std::size_t depth = stack.size() - 1;  // labels above the children

        // Siblings are tried in one tight loop until one survives pruning;
        // most do not, and they sit next to each other in the arrays. With
        // SlotsFollowNodes, below `clear` both the slot and its child exist,
        // so the common case runs without bounds checks; the checked loop
        // after it meets any slot beyond, in order.
        std::size_t child = 0;
        char32_t label = 0;
        bool survived = false;
        std::size_t next = top.next;
        const typename Rows::Parent parent = rows.parent(depth);
        if constexpr (SlotsFollowNodes) {
            const std::size_t clear = std::min(top.end, arrays.first_slot_needing_checks);
            while (next < clear) {
                label = arrays.labels[next + 1];
                if (rows.descend(parent, depth, label)) [[unlikely]] {
                    child = ++next;
                    survived = true;
                    break;
                }
                ++next;
            }
        }
        while (!survived && next < top.end) {
            child = checked_at(arrays.transitions, next);
            if constexpr (SlotsFollowNodes) child = next + 1;
            ++next;
            label = checked_at(arrays.labels, child);
            survived = rows.descend(parent, depth, label);
        }
        top.next = next;
        if (!survived) {
            stack.pop();
            continue;
        }

        if (rows.reaches_end() && report.wants(child)) {
            if (report(child, rows.distance(), stack.path_to(label))) return true;
        }

        const ChildRange below = trie.child_range(child);
        if (below.empty()) continue;
        if constexpr (SlotsFollowNodes) prefetch_children(trie, arrays, below);
        if (!enter(below, label)) return false;  // invalidates `top`
    }
    return true;
}

template <DistanceRows Rows, Reporter Report>
bool walk_depth_first(const Trie& trie, Rows& rows, Budget& budget, Report& report,
                      std::optional<std::size_t> allowance = std::nullopt, Lead lead = {}) {
    if (trie.slots_follow_nodes) return walk_depth_first<true>(trie, rows, budget, report, allowance, lead);
    return walk_depth_first<false>(trie, rows, budget, report, allowance, lead);
}

}  // namespace quellnor::search
