// The byte form of what an index holds beside its trie: whether its terms
// are folded, their display spellings, and the weights that the trie's
// totals do not give back. It travels next to the trie's own byte form,
// which stays as it is.
//
//   "QXT" 0x01                   magic and version
//   flags                        one byte; bit 0: folded; bit 1: video ids; the others 0
//   n, then n x (node, weight)   weight overrides, nodes ascending
//   m, then m x (node, length, UTF-8 bytes)   spellings, nodes ascending
//   with flag bit 1 (the caller's video ids): kind (2 str, 3 int), then
//   v, then v x (length, bytes)  one id per video, in video order
//
// Integers take the compact form of the trie's byte form, shortest form
// only, so that equal extras have equal bytes. Nothing may follow.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "suggest/spellings.hpp"
#include "suggest/term_index.hpp"
#include "suggest/video_ids.hpp"
#include "trie/trie.hpp"

namespace quellnor {

struct Extras {
    bool folded = false;
    std::vector<WeightOverride> overrides;
    std::vector<Spellings::Entry> spellings;  // views into the decoded bytes
    GivenVideoIds video_ids;
};

std::vector<std::uint8_t> encode_extras(const Trie& trie, const TermIndex& terms);

// Throws InputError("extras: ...") on malformed bytes. Checks the form only:
// whether the nodes exist is for term_index_from_extras to say.
Extras decode_extras(std::span<const std::uint8_t> bytes);

// The caller's video ids alone, in the form the extras give them (the index
// file keeps them so). decode_given_ids throws InputError on malformed bytes.
std::vector<std::uint8_t> encode_given_ids(const GivenVideoIds& ids);
GivenVideoIds decode_given_ids(std::span<const std::uint8_t> bytes);

// The trie's term index with the extras applied. Throws InputError when an
// override or a spelling names a node where no term ends.
TermIndex term_index_from_extras(const Trie& trie, const Extras& extras);

}  // namespace quellnor
