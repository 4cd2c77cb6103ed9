#include "suggest/completion_table.hpp"

#include <algorithm>
#include <utility>

namespace quellnor {

namespace {

constexpr std::uint32_t kNone = CompletionTable::kNone;

// Calls `visit(child, label)` for each child of `node` that the walks enter
// (its label is not U+0000), in slot order.
template <class Visit>
void for_each_entered_child(const Trie& trie, std::size_t node, Visit visit) {
    const ChildRange range = trie.child_range(node);
    for (std::size_t slot = range.begin; slot < range.end; ++slot) {
        const std::uint32_t child = checked_at(trie.child_transitions, slot);
        const char32_t label = checked_at(trie.child_labels, child);
        if (label != U'\0') visit(child, label);
    }
}

bool is_term(const Trie& trie, std::size_t node) {
    return node != 0 && checked_at(trie.is_terminal, node) != 0;
}

// Fills a table in passes over the nodes the walks reach: their order, their
// weights and bounds, then their entries, parents before children.
class Derivation {
public:
    Derivation(const Trie& trie, CompletionTable& table)
        : trie_(trie), t_(table), nodes_(trie.child_labels.size()) {}

    void run(std::vector<std::uint32_t> weights) {
        if (!same_lengths()) {
            t_.unusable = "the trie's per-node arrays differ in length";
            return;
        }
        // Node ids must fit below kNone, and labels below the term bit.
        if (nodes_ >= kNone) {
            t_.unusable = "the trie has too many nodes";
            return;
        }
        if (nodes_ == 0) return;  // no root, no terms
        rank_.assign(nodes_, kNone);
        parent_.assign(nodes_, kNone);
        visit_in_order();
        if (!t_.unusable.empty()) return;
        weigh(std::move(weights));
        bound_subtrees();
        lay_out_entries();
        make_top_lists();
    }

private:
    bool same_lengths() const {
        return trie_.node_shifts.size() == nodes_ && trie_.is_terminal.size() == nodes_ &&
               trie_.payloads.size() == nodes_;
    }

    // Pre-order from the root, children by ascending label, equal labels by
    // node id. A node met a second time (a shared subtree or a cycle) is not
    // entered again, which bounds the visit by the nodes and their slots.
    void visit_in_order() {
        std::vector<std::uint8_t> seen(nodes_);
        std::vector<std::pair<char32_t, std::uint32_t>> children;
        std::vector<std::uint32_t> stack{0};
        seen[0] = 1;
        t_.preorder.reserve(nodes_);
        while (!stack.empty()) {
            const std::uint32_t node = stack.back();
            stack.pop_back();
            rank_[node] = static_cast<std::uint32_t>(t_.preorder.size());
            t_.preorder.push_back(node);
            if (is_term(trie_, node)) ++t_.term_count;

            children.clear();
            for_each_entered_child(trie_, node, [&](std::uint32_t child, char32_t label) {
                children.emplace_back(label, child);
            });
            if (!std::is_sorted(children.begin(), children.end())) std::sort(children.begin(), children.end());
            for (auto at = children.rbegin(); at != children.rend(); ++at) {
                const std::uint32_t child = at->second;
                if (seen[child]) {
                    t_.unusable = "the trie is not a tree: its walks reach node " +
                                  std::to_string(child) + " by more than one way";
                    continue;
                }
                seen[child] = 1;
                parent_[child] = node;
                stack.push_back(child);
            }
        }
    }

    void weigh(std::vector<std::uint32_t> weights) {
        if (!weights.empty() && weights.size() != nodes_)
            throw Fault("term weights for " + std::to_string(weights.size()) + " nodes, not " +
                        std::to_string(nodes_));
        weight_.assign(nodes_, 0);
        for (const std::uint32_t node : t_.preorder) {
            if (!is_term(trie_, node)) continue;
            weight_[node] = weights.empty() ? weight_from_totals(trie_, node) : weights[node];
        }
    }

    // Each node's heaviest term below, children before parents; and which
    // subtrees hold a term at all, so that no search enters one that does
    // not.
    // Also each subtree's size and how many terms it holds.
    void bound_subtrees() {
        heaviest_.assign(nodes_, 0);
        terms_below_.assign(nodes_, 0);
        size_.assign(nodes_, 1);
        for (auto at = t_.preorder.rbegin(); at != t_.preorder.rend(); ++at) {
            const std::uint32_t node = *at;
            if (is_term(trie_, node)) {
                ++terms_below_[node];
                heaviest_[node] = std::max(heaviest_[node], weight_[node]);
            }
            const std::uint32_t above = parent_[node];
            if (above == kNone) continue;
            size_[above] += size_[node];
            if (terms_below_[node] == 0) continue;
            terms_below_[above] += terms_below_[node];
            heaviest_[above] = std::max(heaviest_[above], heaviest_[node]);
        }
    }

    CompletionEntry entry_for(std::uint32_t node, std::uint32_t up) const {
        const std::uint32_t term = is_term(trie_, node) ? CompletionEntry::kTermBit : 0;
        const std::uint32_t label = node == 0 ? 0 : static_cast<std::uint32_t>(trie_.child_labels[node]);
        return {node, heaviest_[node], rank_[node], weight_[node], 0, 0, up, label | term};
    }

    void lay_out_entries() {
        t_.entry_of.assign(nodes_, kNone);
        t_.entries.reserve(nodes_);
        t_.entries.push_back(entry_for(0, kNone));
        t_.entry_of[0] = 0;
        const auto heavier = [&](std::uint32_t a, std::uint32_t b) {
            if (heaviest_[a] != heaviest_[b]) return heaviest_[a] > heaviest_[b];
            return rank_[a] < rank_[b];
        };
        std::vector<std::uint32_t> children;
        for (const std::uint32_t node : t_.preorder) {
            const std::uint32_t at = t_.entry_of[node];
            if (at == kNone) continue;
            children.clear();
            for_each_entered_child(trie_, node, [&](std::uint32_t child, char32_t) {
                if (terms_below_[child] != 0) children.push_back(child);
            });
            std::sort(children.begin(), children.end(), heavier);
            t_.entries[at].begin = static_cast<std::uint32_t>(t_.entries.size());
            for (const std::uint32_t child : children) {
                t_.entry_of[child] = static_cast<std::uint32_t>(t_.entries.size());
                t_.entries.push_back(entry_for(child, at));
            }
            t_.entries[at].end = static_cast<std::uint32_t>(t_.entries.size());
        }
    }

    // Children before parents: a list is the best of the node's own term,
    // its children's lists, and every term of the children that have none
    // (at most kTopListSize each, read off the pre-order).
    void make_top_lists() {
        constexpr std::size_t kSize = CompletionTable::kTopListSize;
        const auto better = [&](std::uint32_t a, std::uint32_t b) {
            const CompletionEntry &x = t_.entries[a], &y = t_.entries[b];
            if (x.weight != y.weight) return x.weight > y.weight;
            return x.rank < y.rank;
        };
        std::vector<std::uint32_t> list_of(nodes_, kNone);
        std::vector<std::uint32_t> candidates;
        for (auto at = t_.preorder.rbegin(); at != t_.preorder.rend(); ++at) {
            const std::uint32_t node = *at;
            if (terms_below_[node] <= kSize) continue;
            const std::uint32_t entry = t_.entry_of[node];
            candidates.clear();
            if (is_term(trie_, node)) candidates.push_back(entry);
            const CompletionEntry& e = t_.entries[entry];
            for (std::uint32_t c = e.begin; c < e.end; ++c) {
                const std::uint32_t child = t_.entries[c].node;
                if (list_of[child] != kNone) {
                    const auto list = t_.top_terms.begin() + list_of[child];
                    candidates.insert(candidates.end(), list, list + kSize);
                    continue;
                }
                const std::uint32_t first = rank_[child];
                for (std::uint32_t r = first; r < first + size_[child]; ++r) {
                    const std::uint32_t below = t_.preorder[r];
                    if (is_term(trie_, below)) candidates.push_back(t_.entry_of[below]);
                }
            }
            std::partial_sort(candidates.begin(), candidates.begin() + kSize, candidates.end(), better);
            list_of[node] = static_cast<std::uint32_t>(t_.top_terms.size());
            t_.top_lists.push_back({entry, list_of[node]});
            t_.top_terms.insert(t_.top_terms.end(), candidates.begin(), candidates.begin() + kSize);
        }
        std::sort(t_.top_lists.begin(), t_.top_lists.end(),
                  [](const auto& a, const auto& b) { return a.entry < b.entry; });
    }

    const Trie& trie_;
    CompletionTable& t_;
    std::size_t nodes_;
    std::vector<std::uint32_t> rank_, parent_, weight_, heaviest_, terms_below_, size_;
};

}  // namespace

void CompletionTable::require_usable() const {
    if (!unusable.empty()) throw Fault(unusable);
}

CompletionTable::Span CompletionTable::top_list(std::uint32_t entry) const {
    const auto found = std::lower_bound(top_lists.begin(), top_lists.end(), entry,
                                        [](const TopList& l, std::uint32_t e) { return l.entry < e; });
    if (found == top_lists.end() || found->entry != entry) return {0, 0};
    return {found->begin, found->begin + static_cast<std::uint32_t>(kTopListSize)};
}

std::vector<std::uint32_t> CompletionTable::weights() const {
    std::vector<std::uint32_t> out(entry_of.size());
    for (const CompletionEntry& e : entries) out[e.node] = e.weight;
    return out;
}

std::uint32_t weight_from_totals(const Trie& trie, std::size_t node) {
    const std::optional<PayloadView> own = checked_at(trie.payloads, node);
    if (!own.has_value()) return 0;
    std::uint64_t below = 0;
    const ChildRange range = trie.child_range(node);
    for (std::size_t slot = range.begin; slot < range.end; ++slot) {
        const std::uint32_t child = checked_at(trie.child_transitions, slot);
        if (child == node) continue;  // as propagation does, a node is not its own child
        const std::optional<PayloadView> payload = checked_at(trie.payloads, child);
        if (payload.has_value()) below += payload->total_count;
    }
    return own->total_count > below ? static_cast<std::uint32_t>(own->total_count - below) : 0;
}

CompletionTable derive_completion_table(const Trie& trie, std::vector<std::uint32_t> weights) {
    CompletionTable table;
    try {
        Derivation(trie, table).run(std::move(weights));
    } catch (const Fault& fault) {
        table.unusable = fault.what();
    }
    return table;
}

}  // namespace quellnor
