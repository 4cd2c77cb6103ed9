#include <bit>
#include <cstring>

#include "fault.hpp"
#include "file/format.hpp"
#include "file/index_file.hpp"
#include "file/sections.hpp"
#include "run_beside.hpp"

namespace quellnor::file {
namespace {

std::uint64_t aligned(std::uint64_t offset) { return (offset + kAlignment - 1) / kAlignment * kAlignment; }

void pad(const Sink& sink, std::uint64_t from, std::uint64_t to) {
    static constexpr char kZeros[kAlignment] = {};
    if (to > from) sink(kZeros, static_cast<std::size_t>(to - from));
}

Header header_of(const Trie& trie, const TermIndex& terms, std::size_t section_count) {
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.section_count = static_cast<std::uint32_t>(section_count);
    h.flags = (terms.folded ? kFolded : 0) | (terms.table.unusable.empty() ? 0 : kTableUnusable) |
              (terms.video_ids.given() ? kGivenVideoIds : 0);
    h.term_count = terms.table.term_count;
    h.nodes = trie.child_labels.size();
    h.slots = trie.child_transitions.size();
    h.videos = trie.video_index.size();
    return h;
}

// What deriving the reversed terms and the tail index holds at its height,
// per node of the index (some 28 and 23 bytes on a large one).
constexpr std::size_t kReversingBytesPerNode = 32;
constexpr std::size_t kTailingBytesPerNode = 32;

// Whether `bytes` more leave a quarter of what the system could give to spare.
bool room_for(std::size_t bytes) { return available_memory() / 4 * 3 > bytes; }

// A file keeps the reversed terms and the tail index, so that whoever opens
// it need not derive them: both at once on two cores where there is room,
// else each where it cannot run the machine short of memory (the kernel
// would end the process rather than fail an allocation). A file without
// them is whole; whoever opens it derives them on first need.
void derive_for_file(const Trie& trie) {
    const std::size_t nodes = trie.child_labels.size();
    const std::size_t reversing = nodes * kReversingBytesPerNode, tailing = nodes * kTailingBytesPerNode;
    if (room_beside(reversing + tailing)) {
        run_beside([&] { trie.reversed.of(trie); }, [&] { trie.reversed.tails_of(trie); });
        return;
    }
    if (room_for(reversing)) trie.reversed.of(trie);
    if (room_for(tailing)) trie.reversed.tails_of(trie);
}

}  // namespace

void write_index(const Trie& trie, const TermIndex& terms, const Sink& sink) {
    // The arrays are written as they lie in memory, which the format says is
    // little-endian.
    if constexpr (std::endian::native != std::endian::little)
        throw InputError("index files are little-endian and this machine is not: use to_bytes/from_bytes");
    derive_for_file(trie);
    std::vector<std::uint8_t> encoded_ids;
    const std::vector<SectionData> sections = sections_of(trie, terms, encoded_ids, true);
    std::vector<SectionEntry> table;
    std::uint64_t offset = aligned(kHeaderSize + sections.size() * kSectionEntrySize);
    for (const SectionData& s : sections) {
        table.push_back({static_cast<std::uint32_t>(s.id), s.element_size, offset, s.count});
        offset = aligned(offset + s.count * s.element_size);
    }
    Header header = header_of(trie, terms, sections.size());
    header.file_size = offset;
    sink(&header, sizeof header);
    sink(table.data(), table.size() * sizeof(SectionEntry));
    std::uint64_t at = kHeaderSize + table.size() * kSectionEntrySize;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        pad(sink, at, table[i].offset);
        const std::uint64_t bytes = sections[i].count * sections[i].element_size;
        if (bytes > 0) sink(sections[i].data, static_cast<std::size_t>(bytes));
        at = table[i].offset + bytes;
    }
    pad(sink, at, aligned(at));
}

std::size_t array_bytes(const Trie& trie, const TermIndex& terms) {
    std::size_t total = 0;
    std::vector<std::uint8_t> encoded_ids;
    for (const SectionData& s : sections_of(trie, terms, encoded_ids, false)) total += s.count * s.element_size;
    return total;
}

std::vector<std::uint8_t> index_bytes(const Trie& trie, const TermIndex& terms) {
    std::vector<std::uint8_t> out;
    write_index(trie, terms, [&](const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        out.insert(out.end(), bytes, bytes + size);
    });
    return out;
}

}  // namespace quellnor::file
