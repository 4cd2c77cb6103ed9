// Writing and reading the index file (format.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace quellnor::file {

// Where the writer puts bytes, in order; throws to give up.
using Sink = std::function<void(const void* data, std::size_t size)>;

// Writes the whole file for `trie` and its terms through `sink`.
void write_index(const Trie& trie, const TermIndex& terms, const Sink& sink);

// The file in memory, as pickling carries it.
std::vector<std::uint8_t> index_bytes(const Trie& trie, const TermIndex& terms);

struct OpenedIndex {
    Trie trie;
    TermIndex terms;
};

// An index over `bytes`, which `backing` keeps alive and which must start on
// a 64-byte boundary; its arrays view them in place. Checks the header and
// every section's bounds and length, and works out the trie's layout (one
// pass over two arrays, which the fastest walk needs to trust); every other
// array is checked where it is read. With `verify`, checks everything up
// front.
// Throws InputError with what it found.
OpenedIndex read_index(std::shared_ptr<const void> backing, std::span<const std::uint8_t> bytes, bool verify);

// The file at `path`, mapped read-only and shared.
OpenedIndex open_index(const std::string& path, bool verify);

// A copy of `bytes` in owned, aligned memory, read as read_index does.
OpenedIndex load_index(std::span<const std::uint8_t> bytes, bool verify);

// The bytes the index's arrays hold, mapped or owned.
std::size_t array_bytes(const Trie& trie, const TermIndex& terms);

// Whether `bytes` start like an index file (rather than the trie's byte form).
bool is_index_file(std::span<const std::uint8_t> bytes);

}  // namespace quellnor::file
