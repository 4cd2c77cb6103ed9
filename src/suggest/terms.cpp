#include "suggest/terms.hpp"

#include <algorithm>

#include "search/matcher.hpp"
#include "text/code_point_buffer.hpp"
#include "text/utf8.hpp"

namespace quellnor {

std::optional<std::uint32_t> find_term(const Trie& trie, const CompletionTable& table,
                                       std::u32string_view text) {
    table.require_usable();
    std::optional<std::uint32_t> found;
    std::uint32_t found_rank = 0;
    for (const NodeMatch& match : fuzzy_match_nodes(trie, text, 0, true)) {
        const CompletionEntry* entry = table.entry(match.node_id);
        if (entry == nullptr) continue;
        if (!found || entry->rank < found_rank) {
            found = entry->node;
            found_rank = entry->rank;
        }
    }
    return found;
}

void spell_term(const TermIndex& terms, std::uint32_t entry, std::string& out) {
    out.clear();
    const auto& entries = terms.table.entries;
    const CompletionEntry* start = &checked_at(entries, entry);
    if (const auto shown = terms.spellings.of(start->node)) {
        out = *shown;
        return;
    }
    // The labels up to the root, counted and then spelt from their end. The
    // entries of a usable table form a tree, so the way up ends at the root
    // after at most every entry once.
    std::size_t depth = 0;
    for (const CompletionEntry* at = start; at->up != CompletionTable::kNone;
         at = &checked_at(entries, at->up)) {
        if (++depth > entries.size()) throw Fault("the way up from a node does not end");
    }
    CodePointBuffer buffer;
    char32_t* const labels = buffer.room(depth);
    std::size_t left = depth;
    for (const CompletionEntry* at = start; left > 0; at = &checked_at(entries, at->up))
        labels[--left] = at->label();
    for (std::size_t i = 0; i < depth; ++i) utf8::append(out, labels[i]);
}

std::vector<std::uint32_t> term_page(const CompletionTable& table, std::size_t from,
                                     std::size_t count, std::size_t& next) {
    table.require_usable();
    std::vector<std::uint32_t> page;
    std::size_t at = std::min(from, table.preorder.size());
    for (; at < table.preorder.size() && page.size() < count; ++at) {
        const std::uint32_t entry = checked_at(table.entry_of, table.preorder[at]);
        if (entry != CompletionTable::kNone && checked_at(table.entries, entry).is_term())
            page.push_back(entry);
    }
    next = at;
    return page;
}

}  // namespace quellnor
