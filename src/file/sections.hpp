// The sections of an index file as arrays of an index: one list, so that the
// writer and the reader cannot disagree on what goes where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "file/format.hpp"
#include "suggest/extras_codec.hpp"
#include "trie/reversed_terms.hpp"
#include "trie/tail_index.hpp"
#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace quellnor::file {

struct SectionData {
    Section id;
    std::uint32_t element_size;
    const void* data;
    std::uint64_t count;
};

template <class T>
SectionData section(Section id, std::span<const T> array) {
    return {id, static_cast<std::uint32_t>(sizeof(T)), array.data(), array.size()};
}

// Every section the index's arrays fill, in file order. `encoded_ids` holds
// the bytes of the caller's video ids, which exist only in this form. The
// reversed terms and the tail index count where a file kept them, and with
// `with_derived` also where they have been derived since; this derives none.
inline std::vector<SectionData> sections_of(const Trie& trie, const TermIndex& terms,
                                            std::vector<std::uint8_t>& encoded_ids, bool with_derived) {
    const CompletionTable& table = terms.table;
    std::vector<SectionData> out = {
        section<std::uint32_t>(Section::node_shifts, trie.node_shifts),
        section<char32_t>(Section::child_labels, trie.child_labels),
        section<std::uint32_t>(Section::child_transitions, trie.child_transitions),
        section<std::uint8_t>(Section::payload_presence, trie.payloads.presence()),
        section<std::uint32_t>(Section::payload_totals, trie.payloads.totals()),
        section<std::uint32_t>(Section::payload_bounds, trie.payloads.bounds()),
        section<std::uint32_t>(Section::payload_values, trie.payloads.values()),
        section<VideoKey>(Section::video_keys, trie.video_index),
        section<std::uint8_t>(Section::term_ends, trie.is_terminal),
        section<CompletionEntry>(Section::entries, table.entries),
        section<std::uint32_t>(Section::entry_of, table.entry_of),
        section<std::uint32_t>(Section::preorder, table.preorder),
        section<CompletionTable::TopList>(Section::top_lists, table.top_lists),
        section<std::uint32_t>(Section::top_terms, table.top_terms),
        section<std::uint32_t>(Section::spelling_nodes, terms.spellings.nodes()),
        section<std::uint32_t>(Section::spelling_ends, terms.spellings.ends()),
        section<char>(Section::spelling_pool, terms.spellings.pool()),
    };
    if (!table.unusable.empty())
        out.push_back(section<char>(Section::unusable_reason, std::span<const char>(table.unusable)));
    if (const ReversedTerms* r = with_derived ? trie.reversed.ready(trie) : trie.reversed.kept()) {
        out.push_back(section<std::uint32_t>(Section::reversed_node_shifts, r->trie.node_shifts));
        out.push_back(section<char32_t>(Section::reversed_child_labels, r->trie.child_labels));
        out.push_back(section<std::uint32_t>(Section::reversed_child_transitions, r->trie.child_transitions));
        out.push_back(section<std::uint8_t>(Section::reversed_term_flags, r->trie.is_terminal));
        out.push_back(section<std::uint32_t>(Section::reversed_term_ends, r->term_ends));
        out.push_back(section<std::uint32_t>(Section::reversed_forward_nodes, r->forward_nodes));
        out.push_back(section<std::uint32_t>(Section::preorder_rank, r->preorder_rank));
    }
    if (const TailIndex* t = with_derived ? trie.reversed.tails_ready(trie) : trie.reversed.kept_tails()) {
        out.push_back(section<std::uint32_t>(Section::tail_parents, t->parent));
        out.push_back(section<std::uint32_t>(Section::tail_order, t->by_tail));
        out.push_back(section<std::uint32_t>(Section::tail_ranks, t->rank));
    }
    if (terms.video_ids.given()) {
        encoded_ids = encode_given_ids(terms.video_ids);
        out.push_back(section<std::uint8_t>(Section::video_ids, encoded_ids));
    }
    return out;
}

}  // namespace quellnor::file
