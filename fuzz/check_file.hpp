// The fuzz target's checks of the index file.
#pragma once

#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "trie/trie.hpp"

namespace fuzz {

// An input that starts like an index file, followed by the bytes that pick
// its queries: it opens or says why not; what opens answers every kind of
// query or faults, never worse; what passes the full check writes back to a
// file that opens to the same index.
void check_index_file(std::span<const std::uint8_t> input);

// A decoded trie with its derived terms goes through the file and back
// unchanged, mapped and verified alike.
void check_file_round_trip(const quellnor::Trie& trie);

}  // namespace fuzz
