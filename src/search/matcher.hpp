// Bounded edit-distance walks over the trie: the term matcher and the node
// matcher share the same walks and differ only in what they report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

struct MatchResult {
    std::string term;        // UTF-8: the labels from the root to the node
    std::size_t node_id;
    std::uint32_t distance;
};

struct NodeMatch {
    std::size_t node_id;
    std::uint32_t distance;
};

// Room for a text of code points: in place up to kInPlace of them, which
// holds nearly every query and every path to a hit, so that a walk needs no
// heap block for either; on the heap beyond that.
class CodePointBuffer {
public:
    CodePointBuffer() {}  // the room in place is written before it is read
    CodePointBuffer(const CodePointBuffer&) = delete;
    CodePointBuffer& operator=(const CodePointBuffer&) = delete;

    // Room for `n` code points, valid until the next call.
    char32_t* room(std::size_t n) {
        if (n <= kInPlace) return in_place_;
        spilled_.resize(n);
        return spilled_.data();
    }

private:
    static constexpr std::size_t kInPlace = 64;
    char32_t in_place_[kInPlace];
    std::u32string spilled_;
};

// The query as code points. Invalid UTF-8 (never produced by the binding)
// decodes to U+FFFD per bad byte, so the core stays safe on any input. The
// view lives in `buffer`.
std::u32string_view decode_utf8(std::string_view text, CodePointBuffer& buffer);
std::u32string decode_utf8(std::string_view text);

// Indexed terms within `max_dist` edits of `term`, in depth-first pre-order.
// With a limit, the walk stops right after the report that reaches it (so a
// limit of 0 still yields the first hit).
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint64_t> limit);

// Nodes whose path lies within `max_dist` edits of `query`, in pre-order;
// with `terminal_only`, only nodes that end a term.
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view query,
                                         std::uint32_t max_dist, bool terminal_only);

}  // namespace quellnor
