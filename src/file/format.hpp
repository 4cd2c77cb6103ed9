// The index file: what quellnor.open maps and Index.save writes. Beside the
// trie's own byte form (which stays as it is), this form is made to be used
// in place: every array sits where a mapping of the file can be read as it
// is, so opening costs the same for any size of index.
//
//   offset 0   magic (8 bytes), format version (u32), section count (u32)
//   16         flags (u64): bit 0 terms folded, bit 1 suggestion table unusable
//   24         term count, node count, slot count, video count, the file's
//              length (u64 each)
//   64         the section table: per section its id (u32), element size
//              (u32), offset (u64) and element count (u64)
//   then       the sections, each starting on a 64-byte boundary
//
// Everything is little-endian. A reader skips sections whose id it does not
// know, so a later version may add some without changing the version; one
// that changes what a known section means raises the version.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quellnor::file {

inline constexpr char kMagic[8] = {'\x89', 'Q', 'L', 'N', 'R', 'I', 'X', '\n'};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kAlignment = 64;
inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kSectionEntrySize = 24;
// More sections than any version will have: bounds the table a reader scans.
inline constexpr std::uint32_t kMaxSections = 256;

inline constexpr std::uint64_t kFolded = 1;
inline constexpr std::uint64_t kTableUnusable = 2;
// The videos are the caller's own ids, kept in Section::video_ids; a reader
// that does not know this flag refuses the file rather than show the trie's
// stand-in keys.
inline constexpr std::uint64_t kGivenVideoIds = 4;
inline constexpr std::uint64_t kKnownFlags = kFolded | kTableUnusable | kGivenVideoIds;

enum class Section : std::uint32_t {
    node_shifts = 1,
    child_labels = 2,
    child_transitions = 3,
    payload_presence = 4,
    payload_totals = 5,
    payload_bounds = 6,
    payload_values = 7,
    video_keys = 8,
    term_ends = 9,
    // The suggestion table and the display spellings.
    entries = 16,
    entry_of = 17,
    preorder = 18,
    top_lists = 19,
    top_terms = 20,
    spelling_nodes = 21,
    spelling_ends = 22,
    spelling_pool = 23,
    unusable_reason = 24,  // UTF-8, present with kTableUnusable
    // The caller's video ids in the extras' form for them (extras_codec.hpp),
    // present with kGivenVideoIds.
    video_ids = 32,
    // The reversed terms the split walk derives (trie/reversed_terms.hpp),
    // kept so that workers mapping one file share them rather than each
    // deriving its own: all of them or none.
    reversed_node_shifts = 33,
    reversed_child_labels = 34,
    reversed_child_transitions = 35,
    reversed_term_flags = 36,
    reversed_term_ends = 37,
    reversed_forward_nodes = 38,
    preorder_rank = 39,
    // The tail index the walks to every node derive (trie/tail_index.hpp),
    // kept for the same reason: all of it or none.
    tail_parents = 40,
    tail_order = 41,
    tail_ranks = 42,
};

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t section_count;
    std::uint64_t flags;
    std::uint64_t term_count;
    std::uint64_t nodes;
    std::uint64_t slots;
    std::uint64_t videos;
    std::uint64_t file_size;
};
static_assert(sizeof(Header) == kHeaderSize);

struct SectionEntry {
    std::uint32_t id;
    std::uint32_t element_size;
    std::uint64_t offset;
    std::uint64_t count;
};
static_assert(sizeof(SectionEntry) == kSectionEntrySize);

}  // namespace quellnor::file
