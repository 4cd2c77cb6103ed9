// How terms are shown: the original spelling of each term that the trie
// spells otherwise (folded to lower case, its accents taken off).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellnor {

// Node ids with their display text, ascending by node, the texts one after
// another in one pool: a few allocations for any number of spellings.
class Spellings {
public:
    using Entry = std::pair<std::uint32_t, std::string_view>;

    Spellings() = default;
    // From (node, text) pairs in any order; each text is non-empty UTF-8
    // without U+0000. Throws InputError when a node comes twice.
    explicit Spellings(std::vector<Entry> entries);

    std::size_t size() const { return nodes_.size(); }
    // The display text of `node`, or nothing when the trie spells it.
    std::optional<std::string_view> of(std::uint32_t node) const;
    // The i-th spelling, ascending by node.
    Entry at(std::size_t i) const;

    bool operator==(const Spellings&) const = default;

private:
    std::vector<std::uint32_t> nodes_;
    std::vector<std::uint32_t> ends_;  // where each text ends in pool_
    std::string pool_;
};

}  // namespace quellnor
