#include "suggest/completion_search.hpp"

#include <algorithm>

#include "fault.hpp"

namespace quellnor {

ActiveDistances::ActiveDistances(const std::vector<ActiveNode>& active, search::Budget& budget) {
    budget.reserve(by_node_, active.size());
    for (const ActiveNode& at : active) by_node_.push_back({at.node, at.distance});
    std::sort(by_node_.begin(), by_node_.end(),
              [](const Reached& a, const Reached& b) { return a.node < b.node; });
}

std::uint32_t ActiveDistances::of(std::uint32_t node) const {
    const auto found = std::lower_bound(by_node_.begin(), by_node_.end(), node,
                                        [](const Reached& a, std::uint32_t n) { return a.node < n; });
    return found != by_node_.end() && found->node == node ? found->distance : kNoAncestor;
}

namespace {

// The queue's order: what ranks lower sorts first, so that the heap keeps
// the heaviest, then the earliest in code-point order, on top.
struct RanksLower {
    template <class Queued>
    bool operator()(const Queued& a, const Queued& b) const {
        if (a.key != b.key) return a.key < b.key;
        return a.rank > b.rank;
    }
};

}  // namespace

CompletionSearch::CompletionSearch(const CompletionTable& table, const ActiveDistances& active,
                                   std::uint32_t level, search::Budget& budget)
    : table_(table), active_(active), level_(level), budget_(budget) {}

void CompletionSearch::push(const Queued& queued) {
    budget_.reserve(queue_, queue_.size() + 1);
    queue_.push_back(queued);
    std::push_heap(queue_.begin(), queue_.end(), RanksLower{});
}

// Opening the subtree reads its first child's entry, mostly soon after:
// fetching it now overlaps the wait with the work in between.
void CompletionSearch::push_subtree(std::uint32_t entry, std::uint32_t run_end) {
    const CompletionEntry& e = checked_at(table_.entries, entry);
    if (e.begin < table_.entries.size()) __builtin_prefetch(&table_.entries[e.begin]);
    push({e.heaviest, e.rank, Kind::subtree, entry, run_end});
}

void CompletionSearch::push_list(std::uint32_t position, std::uint32_t end) {
    const CompletionEntry& e = checked_at(table_.entries, checked_at(table_.top_terms, position));
    push({e.weight, e.rank, Kind::list, position, end});
}

// A starting node has no siblings to bring; one without an entry has no
// term at or below it.
void CompletionSearch::start_at(std::uint32_t node, std::uint64_t wanted, bool clean,
                                std::uint64_t whole) {
    const std::uint32_t entry = checked_at(table_.entry_of, node);
    if (entry == CompletionTable::kNone) return;
    const CompletionTable::Span list = clean ? table_.top_list(entry) : CompletionTable::Span{0, 0};
    const std::uint64_t listed = list.end - list.begin;
    if (listed != 0 && whole <= listed && wanted <= listed - whole) {
        push_list(list.begin, list.end);
        return;
    }
    push_subtree(entry, entry + 1);
}

// A subtree out of the queue: its next sibling goes in (the parent's list
// is heaviest first, so none after it can beat it), and unless it lies
// nearer the query than this level, its own term and its heaviest child.
void CompletionSearch::open(const Queued& subtree) {
    if (subtree.at + 1 < subtree.end) push_subtree(subtree.at + 1, subtree.end);
    const CompletionEntry& e = checked_at(table_.entries, subtree.at);
    const std::uint32_t distance = active_.of(e.node);
    if (distance < level_) return;
    if (distance != level_ && e.is_term()) push({e.weight, e.rank, Kind::term, subtree.at, 0});
    if (e.begin < e.end) {
        // Children come after their parent, so that every way down ends; a
        // table read from a file is held to that here rather than at open.
        if (e.begin <= subtree.at) throw Fault("a suggestion entry's children come before it");
        push_subtree(e.begin, e.end);
    }
}

bool CompletionSearch::next(std::uint32_t& entry) {
    while (!queue_.empty()) {
        std::pop_heap(queue_.begin(), queue_.end(), RanksLower{});
        const Queued top = queue_.back();
        queue_.pop_back();
        switch (top.kind) {
            case Kind::subtree:
                open(top);
                break;
            case Kind::term:
                entry = top.at;
                return true;
            case Kind::list: {
                if (top.at + 1 < top.end) push_list(top.at + 1, top.end);
                entry = checked_at(table_.top_terms, top.at);
                // A term at this very distance is a whole-term match.
                if (active_.of(checked_at(table_.entries, entry).node) != level_) return true;
                break;
            }
        }
    }
    return false;
}

}  // namespace quellnor
