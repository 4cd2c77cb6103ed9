// The byte form of an index: the six Trie arrays one after another, every
// integer in a compact variable-length form, no header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "trie/trie.hpp"

namespace quellnor {

// Exact number of bytes that encode_into will write.
std::size_t encoded_size(const Trie& trie);

// Writes the encoding into `out`, whose size must be encoded_size(trie).
void encode_into(const Trie& trie, std::span<std::uint8_t> out);

// Decodes an index from the front of `bytes`; trailing bytes are ignored.
// Throws InputError("decode error: ...") on malformed input. Verifies no
// invariant beyond the well-formedness of each encoded value.
Trie decode(std::span<const std::uint8_t> bytes);

}  // namespace quellnor
