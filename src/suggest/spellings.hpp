// How terms are shown: the original spelling of each term that the trie
// spells otherwise (folded to lower case, its accents taken off).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "array.hpp"

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

    // The arrays as an index file lays them out, and a set over such arrays
    // kept alive elsewhere. Lookups check what they read, so arrays from a
    // file need no check beyond their lengths (one end per node).
    std::span<const std::uint32_t> nodes() const { return nodes_; }
    std::span<const std::uint32_t> ends() const { return ends_; }
    std::span<const char> pool() const { return pool_; }
    static Spellings viewing(std::span<const std::uint32_t> nodes, std::span<const std::uint32_t> ends,
                             std::span<const char> pool);

private:
    Array<std::uint32_t> nodes_;
    Array<std::uint32_t> ends_;  // where each text ends in pool_
    Array<char> pool_;
};

}  // namespace quellnor
