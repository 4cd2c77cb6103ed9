#include "file/checks.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "fault.hpp"
#include "trie/reversed_terms.hpp"
#include "trie/tail_index.hpp"
#include "text/utf8.hpp"

namespace quellnor::file {
namespace {

constexpr std::uint32_t kNone = CompletionTable::kNone;

[[noreturn]] void violated(const std::string& what) { throw InputError("index file: " + what); }

void check_entry(const CompletionTable& t, std::uint32_t i) {
    const CompletionEntry& e = t.entries[i];
    const std::string at = "suggestion entry " + std::to_string(i);
    if (e.node >= t.entry_of.size() || t.entry_of[e.node] != i) violated(at + " names a node that is not its own");
    if (e.begin > e.end || e.end > t.entries.size() || (e.begin < e.end && e.begin <= i))
        violated(at + " has children outside the table");
    if (i == 0 ? e.up != kNone : e.up >= i) violated(at + " has its parent after it");
    for (std::uint32_t child = e.begin; child < e.end; ++child)
        if (t.entries[child].up != i) violated(at + " shares a child with another entry");
}

void check_top_lists(const CompletionTable& t) {
    for (std::size_t i = 0; i < t.top_lists.size(); ++i) {
        const CompletionTable::TopList& l = t.top_lists[i];
        if (l.entry >= t.entries.size() || (i > 0 && l.entry <= t.top_lists[i - 1].entry) ||
            l.begin > t.top_terms.size() || t.top_terms.size() - l.begin < CompletionTable::kTopListSize)
            violated("top list " + std::to_string(i) + " is out of place");
    }
    for (const std::uint32_t entry : t.top_terms)
        if (entry >= t.entries.size()) violated("a top list names an entry beyond the table");
}

void check_lengths(const Trie& trie) {
    const std::size_t nodes = trie.child_labels.size();
    if (trie.node_shifts.size() != nodes || trie.is_terminal.size() != nodes || trie.payloads.size() != nodes)
        violated("the trie's per-node arrays differ in length");
}

void check_tree(const Trie& trie) {
    const std::size_t nodes = trie.child_labels.size();
    for (std::size_t slot = 0; slot < trie.child_transitions.size(); ++slot)
        if (trie.child_transitions[slot] >= nodes) violated("slot " + std::to_string(slot) + " names no node");
    const auto& shifts = trie.node_shifts;
    if (!std::is_sorted(shifts.begin(), shifts.end()) || (nodes > 0 && shifts.back() > trie.child_transitions.size()))
        violated("the node shifts are out of order");
    for (std::size_t node = 0; node < nodes; ++node) {
        if (!utf8::is_scalar_value(trie.child_labels[node]))
            violated("the label of node " + std::to_string(node) + " is not a Unicode scalar value");
        if (trie.is_terminal[node] > 1) violated("a term-end flag is neither 0 nor 1");
        if (trie.is_terminal[node] == 1 && !trie.payloads[node].has_value())
            violated("node " + std::to_string(node) + " ends a term without a payload");
    }
}

void check_payloads(const Trie& trie) {
    const PayloadTable& p = trie.payloads;
    const auto bounds = p.bounds();
    if (bounds.front() != 0 || bounds.back() != p.values().size() || !std::is_sorted(bounds.begin(), bounds.end()))
        violated("the payload bounds are out of order");
    for (std::size_t node = 0; node < p.size(); ++node) {
        if (p.presence()[node] > 1) violated("a payload presence byte is neither 0 nor 1");
        const auto payload = p[node];
        if (payload ? payload->video_ids.size() != payload->video_counts.size()
                    : bounds[2 * node] != bounds[2 * node + 2])
            violated("node " + std::to_string(node) + " has ids and counts that do not pair up");
    }
}

void check_spellings(const Trie& trie, const TermIndex& terms) {
    const Spellings& s = terms.spellings;
    const auto nodes = s.nodes();
    if (!std::is_sorted(s.ends().begin(), s.ends().end()) || (!nodes.empty() && s.ends().back() != s.pool().size()))
        violated("the display spellings are out of order");
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if ((i > 0 && nodes[i] <= nodes[i - 1]) || nodes[i] >= trie.is_terminal.size() || !trie.is_terminal[nodes[i]])
            violated("display spelling " + std::to_string(i) + " names no term, or comes out of order");
        const std::string_view text = s.at(i).second;
        if (text.empty() || text.find('\0') != text.npos || !utf8::is_valid(text))
            violated("display spelling " + std::to_string(i) + " is not UTF-8 text");
    }
}

}  // namespace

void check_table_shape(const Trie& trie, const CompletionTable& table) {
    if (table.entry_of.size() != trie.child_labels.size() && !table.entries.empty())
        violated("the suggestion table has " + std::to_string(table.entry_of.size()) + " nodes");
    for (const std::uint32_t node : table.preorder)
        if (node >= trie.child_labels.size()) violated("the term order names a node beyond the trie");
    for (const std::uint32_t entry : table.entry_of)
        if (entry != kNone && entry >= table.entries.size()) violated("a node's entry lies beyond the table");
    for (std::uint32_t i = 0; i < table.entries.size(); ++i) check_entry(table, i);
    check_top_lists(table);
}

namespace {

// Kept reversed terms must be the ones the trie gives: the split walk takes
// their word for which terms lie within reach.
void check_reversed_terms(const Trie& trie) {
    const ReversedTerms* kept = trie.reversed.kept();
    if (kept == nullptr) return;
    const std::unique_ptr<ReversedTerms> fresh = reverse_terms(trie);
    const auto same_trie = [](const Trie& a, const Trie& b) {
        return a.node_shifts == b.node_shifts && a.child_labels == b.child_labels &&
               a.child_transitions == b.child_transitions && a.is_terminal == b.is_terminal;
    };
    if (fresh == nullptr || !same_trie(fresh->trie, kept->trie) || !(fresh->term_ends == kept->term_ends) ||
        !(fresh->forward_nodes == kept->forward_nodes) || !(fresh->preorder_rank == kept->preorder_rank))
        violated("the reversed terms are not the ones the trie gives");
}

// A kept tail index must be the one the trie gives: the walks to every node
// take its word for which nodes end with a query's tail.
void check_tails(const Trie& trie) {
    const TailIndex* kept = trie.reversed.kept_tails();
    if (kept == nullptr) return;
    const std::unique_ptr<TailIndex> fresh = index_tails(trie);
    if (fresh == nullptr || !(*fresh == *kept)) violated("the tail index is not the one the trie gives");
}

}  // namespace

void verify_index(const Trie& trie, const TermIndex& terms) {
    check_lengths(trie);
    check_payloads(trie);
    check_tree(trie);
    check_spellings(trie, terms);
    check_table_shape(trie, terms.table);
    const CompletionTable fresh = derive_completion_table(trie, terms.table.weights());
    if (!(fresh == terms.table)) violated("the suggestion table is not the one its trie and weights give");
    check_reversed_terms(trie);
    check_tails(trie);
}

}  // namespace quellnor::file
