// Per-node data worked out once per index, so that completions come out
// heaviest first without enumerating a subtree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "array.hpp"
#include "fault.hpp"
#include "trie/trie.hpp"

namespace quellnor {

// A term is a node that ends one and that the walks reach from the root
// (every edge on the way has a label); the root itself is never one. A
// node's rank is its place in pre-order with children by ascending label
// (equal labels by node id): the code-point order of the paths.
//
// What a search reads of a node sits in one entry, so that it costs one
// fetch from memory. There is an entry for the root and for every node with
// a term at or below it; the entries of one node's children follow one
// another, heaviest subtree first (equal ones by rank), so that the next
// sibling is mostly in the same cache line.
struct CompletionEntry {
    static constexpr std::uint32_t kTermBit = 0x8000'0000u;

    std::uint32_t node;
    std::uint32_t heaviest;  // the largest term weight at or below the node
    std::uint32_t rank;
    std::uint32_t weight;    // the term's weight; 0 where no term ends
    std::uint32_t begin;     // the children's entries: [begin, end)
    std::uint32_t end;
    std::uint32_t up;        // the parent's entry; kNone for the root
    // The label into the node, with kTermBit where a term ends (a label is
    // a code point, which never reaches bit 31).
    std::uint32_t label_and_term;

    bool is_term() const { return (label_and_term & kTermBit) != 0; }
    char32_t label() const { return label_and_term & ~kTermBit; }
    bool operator==(const CompletionEntry&) const = default;
};

// Plain arrays, one entry per node or per entry, so that an index file can
// one day map them as they are.
struct CompletionTable {
    static constexpr std::uint32_t kNone = 0xFFFF'FFFFu;

    // The root's entry is the first.
    Array<CompletionEntry> entries;
    // Per node: its entry; kNone where the walks never come or no term is
    // at or below it.
    Array<std::uint32_t> entry_of;
    // The reached nodes in rank order.
    Array<std::uint32_t> preorder;

    // The best kTopListSize terms below each entry that has more, by weight
    // then rank, as their entries: answers for the commonest question (the
    // heaviest completions of what was typed) read off in a few cache lines.
    static constexpr std::size_t kTopListSize = 32;
    struct TopList {
        std::uint32_t entry;
        std::uint32_t begin;  // in top_terms
        bool operator==(const TopList&) const = default;
    };
    Array<TopList> top_lists;  // ascending by entry
    Array<std::uint32_t> top_terms;

    std::uint64_t term_count = 0;
    // Why the table cannot serve (the walks can reach a node by two ways,
    // or the trie's arrays contradict one another); empty when it can.
    std::string unusable;

    // Faults with `unusable` unless the table can serve.
    void require_usable() const;

    // The entry of `node`, or null when it has none.
    const CompletionEntry* entry(std::size_t node) const {
        const std::uint32_t at = checked_at(entry_of, node);
        return at == kNone ? nullptr : &checked_at(entries, at);
    }
    // Each node's term weight, 0 where none ends.
    std::vector<std::uint32_t> weights() const;
    // The top list of `entry`, as positions in top_terms; empty when it has none.
    struct Span {
        std::uint32_t begin, end;
    };
    Span top_list(std::uint32_t entry) const;

    bool operator==(const CompletionTable&) const = default;
};

// A term's weight as the byte form gives it back: its node's total_count
// less its children's (never below 0; 0 without a payload), which for an
// index built from rows is the sum of the term's own counts unless a total
// saturated. Faults on arrays that contradict one another.
std::uint32_t weight_from_totals(const Trie& trie, std::size_t node);

// The walks' pre-order of a trie, from whoever made the trie and had it at
// hand (the builder lays its trie out from the sorted terms, which is this
// order): every node by rank, each rank's parent's rank (kNone for the
// root, rank 0) and whether a term ends there (never at the root).
struct KnownOrder {
    std::vector<std::uint32_t> nodes;
    std::vector<std::uint32_t> parents;
    std::vector<std::uint8_t> term_ends;  // 1 where a term ends, else 0
};

// Works out the table for `trie` with each term node's weight from
// `weights` (one per node), or from the totals when `weights` is empty;
// given weights, it never reads the payloads.
// Never fails on a trie that is not a tree or whose arrays contradict one
// another: the table then says why it is unusable. Visits each node and
// each slot a bounded number of times.
CompletionTable derive_completion_table(const Trie& trie, std::vector<std::uint32_t> weights);
// The same for a trie that is one tree whose order is known, without
// walking it: `order` must reach every node, and faults otherwise.
CompletionTable derive_completion_table(const Trie& trie, std::vector<std::uint32_t> weights, KnownOrder order);

}  // namespace quellnor
