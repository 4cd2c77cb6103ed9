// What an index holds beside its trie: what the byte form of the trie cannot
// carry (whether its terms are folded, how each is shown, their weights) and
// the arrays derived from it for suggestions.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "suggest/completion_table.hpp"
#include "suggest/spellings.hpp"
#include "suggest/video_ids.hpp"
#include "trie/trie.hpp"

namespace quellnor {

struct TermIndex {
    // Terms were folded when the index was built, so query text is too.
    bool folded = false;
    Spellings spellings;
    CompletionTable table;
    // The caller's ids where the videos are not UUIDs.
    GivenVideoIds video_ids;
    // What keeps the memory of viewing arrays alive (an index file's
    // mapping); null when every array owns its elements.
    std::shared_ptr<const void> backing;

    // The same trie with the same terms, shown and weighed alike.
    bool operator==(const TermIndex& other) const {
        return folded == other.folded && spellings == other.spellings &&
               table.entries == other.table.entries && video_ids == other.video_ids;
    }
};

// A term's weight that the trie's totals do not give back.
struct WeightOverride {
    std::uint32_t node;
    std::uint32_t weight;
};

// A display spelling given by the term's text, as a builder knows it.
struct SpellingOfText {
    std::string_view term;   // UTF-8, as the trie spells it
    std::string_view shown;  // UTF-8
};

// The term index of a trie built from rows: each term node weighs what its
// builder supplied (`weights`, one per node). Throws InputError when a
// spelling names no term.
TermIndex term_index_from_build(const Trie& trie, std::vector<std::uint32_t> weights, bool folded,
                                std::span<const SpellingOfText> spellings);

// The same for a builder that knows the node of each spelling's term, and
// the trie's pre-order.
TermIndex term_index_from_build(const Trie& trie, std::vector<std::uint32_t> weights, bool folded,
                                Spellings spellings, KnownOrder order);

}  // namespace quellnor
