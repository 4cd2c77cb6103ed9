#include "suggest/completion_table.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "payload/pages.hpp"
#include "progress.hpp"

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
// weights and bounds, then their entries, parents before children. Working
// arrays are indexed by rank, so that each pass runs through memory in
// order rather than jumping about the node ids.
class Derivation {
public:
    Derivation(const Trie& trie, CompletionTable& table)
        : trie_(trie), t_(table), nodes_(trie.child_labels.size()) {}

    void run(std::vector<std::uint32_t> weights, std::optional<KnownOrder> order) {
        if (!same_lengths(weights.empty())) {
            t_.unusable = "the trie's per-node arrays differ in length";
            return;
        }
        // Node ids must fit below kNone, and labels below the term bit.
        if (nodes_ >= kNone) {
            t_.unusable = "the trie has too many nodes";
            return;
        }
        if (nodes_ == 0) return;  // no root, no terms
        // What the table keeps is made first and the working arrays after
        // it, each at its final size: freed when done, they leave the top
        // of the heap, which goes back to the system, instead of holes
        // below the table that it keeps.
        t_.entries.reserve(nodes_);
        t_.entry_of.assign(nodes_, kNone);
        if (order) {
            adopt(std::move(*order));
        } else {
            t_.preorder.reserve(nodes_);
            parent_.reserve(nodes_);
            marks_.reserve(nodes_);
            visit_in_order();
        }
        if (!t_.unusable.empty()) return;
        weigh(std::move(weights));
        bound_subtrees();
        // The top lists are ranked before the entries are laid out, so that
        // laying them out, the last pass, can free the arrays by rank behind
        // it as the entries grow.
        rank_top_lists();
        lay_out_entries();
        name_top_lists();
    }

private:
    // Payloads are read only for weights from the totals: given weights, the
    // derivation reads the shape of the trie alone, and may run while
    // another thread replaces its payloads.
    bool same_lengths(bool reads_payloads) const {
        return trie_.node_shifts.size() == nodes_ && trie_.is_terminal.size() == nodes_ &&
               (!reads_payloads || trie_.payloads.size() == nodes_);
    }

    std::uint32_t reached() const { return static_cast<std::uint32_t>(t_.preorder.size()); }

    // Working arrays go as soon as they are done with, so that what is
    // held at once stays well below what the table keeps.
    template <class T>
    static void release(std::vector<T>& array) {
        std::vector<T>().swap(array);
    }

    // Calls `visit(child)` with the rank of each child of the node at rank
    // `r`, by ascending label: in pre-order a child's subtree is followed by
    // its next sibling's.
    template <class Visit>
    void for_each_child_rank(std::uint32_t r, Visit visit) const {
        const std::uint32_t end = r + size_[r];
        for (std::uint32_t child = r + 1; child < end; child += size_[child]) visit(child);
    }

    // Pre-order from the root, children by ascending label, equal labels by
    // node id. A node met a second time (a shared subtree or a cycle) is not
    // entered again, which bounds the visit by the nodes and their slots,
    // and leaves the table unusable: where it is usable, the later passes
    // find each node's children in the pre-order itself.
    void visit_in_order() {
        std::vector<bool> met(nodes_);  // pushed once
        std::vector<std::pair<char32_t, std::uint32_t>> children;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{0, kNone}};  // node, parent's rank
        met[0] = true;
        while (!stack.empty()) {
            progress_.advance();
            const auto [node, above] = stack.back();
            stack.pop_back();
            const std::uint32_t rank = reached();
            t_.preorder.push_back(node);
            parent_.push_back(above);
            const bool ends = is_term(trie_, node);
            marks_.push_back(ends ? kTermEnds : 0);
            t_.term_count += ends;

            children.clear();
            for_each_entered_child(trie_, node, [&](std::uint32_t child, char32_t label) {
                children.emplace_back(label, child);
            });
            if (!std::is_sorted(children.begin(), children.end())) std::sort(children.begin(), children.end());
            for (auto at = children.rbegin(); at != children.rend(); ++at) {
                const std::uint32_t child = at->second;
                if (met[child]) {
                    t_.unusable = "the trie is not a tree: its walks reach node " +
                                  std::to_string(child) + " by more than one way";
                    continue;
                }
                met[child] = true;
                stack.emplace_back(child, rank);
            }
        }
    }

    // What visit_in_order would find, from its maker.
    void adopt(KnownOrder order) {
        if (order.nodes.size() != nodes_ || order.parents.size() != nodes_ || order.term_ends.size() != nodes_ ||
            order.nodes[0] != 0 || order.parents[0] != kNone || order.term_ends[0] != 0)
            throw Fault("a known order of " + std::to_string(order.nodes.size()) + " nodes for a trie of " +
                        std::to_string(nodes_));
        // Parents come before their children, or the passes by rank would not end.
        for (std::uint32_t r = 1; r < nodes_; ++r)
            if (order.parents[r] >= r) throw Fault("a known order whose rank " + std::to_string(r) + " comes before its parent");
        t_.preorder = Array<std::uint32_t>(std::move(order.nodes));
        parent_ = std::move(order.parents);
        marks_ = std::move(order.term_ends);
        for (std::uint8_t& mark : marks_) {
            t_.term_count += mark;
            mark = mark != 0 ? kTermEnds : 0;
        }
    }

    void weigh(std::vector<std::uint32_t> weights) {
        if (!weights.empty() && weights.size() != nodes_)
            throw Fault("term weights for " + std::to_string(weights.size()) + " nodes, not " +
                        std::to_string(nodes_));
        weight_.assign(reached(), 0);
        for (std::uint32_t r = 0; r < reached(); ++r) {
            progress_.advance();
            if (!term_at(r)) continue;
            const std::uint32_t node = t_.preorder[r];
            weight_[r] = weights.empty() ? weight_from_totals(trie_, node) : weights[node];
        }
    }

    // Each subtree's heaviest term, how many terms it holds and its size,
    // children before parents, so that no search enters a subtree without
    // a term.
    void bound_subtrees() {
        heaviest_.assign(reached(), 0);
        size_.assign(reached(), 1);
        for (std::uint32_t r = reached(); r-- > 0;) {
            progress_.advance();
            if (term_at(r)) {
                add_terms_below(r, 1);
                heaviest_[r] = std::max(heaviest_[r], weight_[r]);
            }
            const std::uint32_t above = parent_[r];
            if (above == kNone) continue;
            size_[above] += size_[r];
            if (terms_below(r) == 0) continue;
            add_terms_below(above, terms_below(r));
            heaviest_[above] = std::max(heaviest_[above], heaviest_[r]);
        }
        release(parent_);
    }

    CompletionEntry entry_for(std::uint32_t rank, std::uint32_t up) const {
        const std::uint32_t node = t_.preorder[rank];
        const std::uint32_t term = term_at(rank) ? CompletionEntry::kTermBit : 0;
        const std::uint32_t label = node == 0 ? 0 : static_cast<std::uint32_t>(trie_.child_labels[node]);
        return {node, heaviest_[rank], rank, weight_[rank], 0, 0, up, label | term};
    }

    void lay_out_entries() {
        t_.entries.push_back(entry_for(0, kNone));
        t_.entry_of[0] = 0;
        const auto heavier = [&](std::uint32_t a, std::uint32_t b) {
            if (heaviest_[a] != heaviest_[b]) return heaviest_[a] > heaviest_[b];
            return a < b;
        };
        std::vector<std::uint32_t> children;  // their ranks
        for (std::uint32_t r = 0; r < reached(); ++r) {
            progress_.advance();
            // Every rank read from here on is r's or a descendant's, which
            // come after it.
            if (r % kForgetEvery == 0) {
                forget_first(weight_, r);
                forget_first(heaviest_, r);
                forget_first(size_, r);
                forget_first(marks_, r);
            }
            const std::uint32_t at = t_.entry_of[t_.preorder[r]];
            if (at == kNone) continue;
            children.clear();
            for_each_child_rank(r, [&](std::uint32_t child) {
                if (terms_below(child) != 0) children.push_back(child);
            });
            std::sort(children.begin(), children.end(), heavier);
            t_.entries[at].begin = static_cast<std::uint32_t>(t_.entries.size());
            for (const std::uint32_t child : children) {
                t_.entry_of[t_.preorder[child]] = static_cast<std::uint32_t>(t_.entries.size());
                t_.entries.push_back(entry_for(child, at));
            }
            t_.entries[at].end = static_cast<std::uint32_t>(t_.entries.size());
        }
        release(weight_);
        release(heaviest_);
        release(size_);
        release(marks_);
    }

    // Children before parents: a list is the best of the node's own term,
    // its children's lists, and every term of the children that have none
    // (at most kTopListSize each, read off the pre-order). Candidates are
    // ranks, compared through the arrays by rank; the lists hold ranks,
    // and name their entries once those are laid out.
    void rank_top_lists() {
        constexpr std::size_t kSize = CompletionTable::kTopListSize;
        const auto better = [&](std::uint32_t a, std::uint32_t b) {
            if (weight_[a] != weight_[b]) return weight_[a] > weight_[b];
            return a < b;
        };
        std::vector<std::uint32_t> list_of(reached(), kNone);
        std::vector<std::uint32_t> candidates;
        for (std::uint32_t r = reached(); r-- > 0;) {
            progress_.advance();
            if (terms_below(r) <= kSize) continue;
            candidates.clear();
            if (term_at(r)) candidates.push_back(r);
            for_each_child_rank(r, [&](std::uint32_t child) {
                if (list_of[child] != kNone) {
                    const auto list = t_.top_terms.begin() + list_of[child];
                    candidates.insert(candidates.end(), list, list + kSize);
                    return;
                }
                for (std::uint32_t below = child; below < child + size_[child]; ++below)
                    if (term_at(below)) candidates.push_back(below);
            });
            std::nth_element(candidates.begin(), candidates.begin() + kSize - 1, candidates.end(), better);
            std::sort(candidates.begin(), candidates.begin() + kSize, better);
            list_of[r] = static_cast<std::uint32_t>(t_.top_terms.size());
            t_.top_lists.push_back({r, list_of[r]});
            t_.top_terms.append(candidates.begin(), candidates.begin() + kSize);
        }
    }

    void name_top_lists() {
        const auto entry_at = [&](std::uint32_t r) { return t_.entry_of[t_.preorder[r]]; };
        for (auto& list : t_.top_lists) list.entry = entry_at(list.entry);
        for (std::uint32_t& term : t_.top_terms) term = entry_at(term);
        std::sort(t_.top_lists.begin(), t_.top_lists.end(),
                  [](const auto& a, const auto& b) { return a.entry < b.entry; });
    }

    // Per rank one byte: whether a term ends there, and how many terms are
    // at or below it, counted up to kManyTerms: what counts is whether there
    // are none, and whether more than a top list.
    static constexpr std::uint8_t kTermEnds = 0x80;
    // Ranks between frees of the pages behind the last pass.
    static constexpr std::uint32_t kForgetEvery = 1u << 18;
    static constexpr unsigned kManyTerms = 0x7F;
    static_assert(kManyTerms > CompletionTable::kTopListSize);
    bool term_at(std::uint32_t r) const { return (marks_[r] & kTermEnds) != 0; }
    unsigned terms_below(std::uint32_t r) const { return marks_[r] & kManyTerms; }
    void add_terms_below(std::uint32_t r, unsigned terms) {
        const unsigned sum = std::min(terms_below(r) + terms, kManyTerms);
        marks_[r] = static_cast<std::uint8_t>((marks_[r] & kTermEnds) | sum);
    }

    const Trie& trie_;
    CompletionTable& t_;
    std::size_t nodes_;
    // Each pass counts the nodes it goes through: on the build's second
    // thread this is where it hears that the first has stopped (Ctrl-C), and
    // on the caller's where it hears the signal itself.
    Progress progress_;
    // Per rank:
    std::vector<std::uint32_t> parent_, weight_, heaviest_, size_;
    std::vector<std::uint8_t> marks_;
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
    for (const CompletionEntry& e : entries) checked_at(out, e.node) = e.weight;
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
        Derivation(trie, table).run(std::move(weights), std::nullopt);
    } catch (const Fault& fault) {
        table.unusable = fault.what();
    }
    return table;
}

CompletionTable derive_completion_table(const Trie& trie, std::vector<std::uint32_t> weights, KnownOrder order) {
    CompletionTable table;
    Derivation(trie, table).run(std::move(weights), std::move(order));
    table.require_usable();
    return table;
}

}  // namespace quellnor
