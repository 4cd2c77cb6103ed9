// Reading an index file: the checks that keep opening cheap, and the views.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>

#include "fault.hpp"
#include "file/checks.hpp"
#include "file/format.hpp"
#include "file/index_file.hpp"
#include "suggest/extras_codec.hpp"
#include "trie/reversed_terms.hpp"
#include "trie/tail_index.hpp"

namespace quellnor::file {
namespace {

std::string first_bytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < sizeof kMagic; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", i ? " " : "", bytes[i]);
        out += hex;
    }
    return out;
}

Header read_header(std::span<const std::uint8_t> bytes) {
    if (!is_index_file(bytes))
        throw InputError(bytes.empty() ? "not a quellnor index file: it is empty"
                                       : "not a quellnor index file: it starts with " + first_bytes(bytes));
    if (bytes.size() < kHeaderSize)
        throw InputError("index file cut short: " + std::to_string(bytes.size()) + " bytes, no whole header");
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (h.version > kVersion)
        throw InputError("index file format version " + std::to_string(h.version) +
                         " is newer than this quellnor understands (" + std::to_string(kVersion) + ")");
    if (h.version == 0) throw InputError("index file format version 0 is not one quellnor writes");
    if (h.file_size != bytes.size())
        throw InputError("index file " + std::string(h.file_size > bytes.size() ? "cut short" : "too long") + ": " +
                         std::to_string(bytes.size()) + " bytes where its header says " +
                         std::to_string(h.file_size));
    if (h.flags & ~kKnownFlags) throw InputError("index file has unknown flags " + std::to_string(h.flags));
    if (h.section_count > kMaxSections)
        throw InputError("index file claims " + std::to_string(h.section_count) + " sections");
    if (bytes.size() < kHeaderSize + std::uint64_t{h.section_count} * kSectionEntrySize)
        throw InputError("index file cut short inside its section table");
    return h;
}

// The element size each known section must have; 0 for an unknown id.
std::uint32_t element_size(std::uint32_t id) {
    switch (static_cast<Section>(id)) {
        case Section::payload_presence:
        case Section::term_ends:
        case Section::spelling_pool:
        case Section::unusable_reason:
        case Section::video_ids:
        case Section::reversed_term_flags:
            return 1;
        case Section::video_keys:
            return sizeof(VideoKey);
        case Section::entries:
            return sizeof(CompletionEntry);
        case Section::top_lists:
            return sizeof(CompletionTable::TopList);
        case Section::node_shifts:
        case Section::child_labels:
        case Section::child_transitions:
        case Section::payload_totals:
        case Section::payload_bounds:
        case Section::payload_values:
        case Section::entry_of:
        case Section::preorder:
        case Section::top_terms:
        case Section::spelling_nodes:
        case Section::spelling_ends:
        case Section::reversed_node_shifts:
        case Section::reversed_child_labels:
        case Section::reversed_child_transitions:
        case Section::reversed_term_ends:
        case Section::reversed_forward_nodes:
        case Section::preorder_rank:
        case Section::tail_parents:
        case Section::tail_order:
        case Section::tail_ranks:
            return 4;
        default:
            return 0;
    }
}

using Raw = std::span<const std::uint8_t>;

// Every known section, each inside the file, aligned and of its element size.
std::map<Section, SectionEntry> read_sections(std::span<const std::uint8_t> bytes, const Header& h) {
    std::map<Section, SectionEntry> found;
    for (std::uint32_t i = 0; i < h.section_count; ++i) {
        SectionEntry e;
        std::memcpy(&e, bytes.data() + kHeaderSize + i * kSectionEntrySize, sizeof e);
        const std::uint32_t size = element_size(e.id);
        if (size == 0) continue;  // a later version's section
        const std::string name = "index file section " + std::to_string(e.id);
        if (e.element_size != size) throw InputError(name + " has elements of " + std::to_string(e.element_size) + " bytes");
        if (e.offset % kAlignment != 0) throw InputError(name + " is not aligned");
        if (e.offset > bytes.size() || e.count > (bytes.size() - e.offset) / size)
            throw InputError(name + " runs past the end of the file (" + std::to_string(bytes.size()) + " bytes)");
        if (!found.emplace(static_cast<Section>(e.id), e).second) throw InputError(name + " comes twice");
    }
    return found;
}

class Views {
public:
    Views(std::span<const std::uint8_t> bytes, std::map<Section, SectionEntry> sections)
        : bytes_(bytes), sections_(std::move(sections)) {}

    template <class T>
    std::span<const T> get(Section id, bool required = true) const {
        const auto at = sections_.find(id);
        if (at == sections_.end()) {
            if (!required) return {};
            throw InputError("index file lacks section " + std::to_string(static_cast<std::uint32_t>(id)));
        }
        return {reinterpret_cast<const T*>(bytes_.data() + at->second.offset), at->second.count};
    }
    bool has(Section id) const { return sections_.contains(id); }

    template <class T>
    Array<T> array(Section id) const {
        const std::span<const T> s = get<T>(id);
        return Array<T>::viewing(s.data(), s.size());
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::map<Section, SectionEntry> sections_;
};

void require_count(const char* what, std::size_t found, std::uint64_t expected) {
    if (found != expected)
        throw InputError(std::string("index file: ") + what + " has " + std::to_string(found) +
                         " entries where the header says " + std::to_string(expected));
}

Trie trie_of(const Views& v, const Header& h) {
    Trie trie;
    trie.node_shifts = v.array<std::uint32_t>(Section::node_shifts);
    trie.child_labels = v.array<char32_t>(Section::child_labels);
    trie.child_transitions = v.array<std::uint32_t>(Section::child_transitions);
    trie.payloads = PayloadTable::viewing(v.get<std::uint8_t>(Section::payload_presence),
                                          v.get<std::uint32_t>(Section::payload_totals),
                                          v.get<std::uint32_t>(Section::payload_bounds),
                                          v.get<std::uint32_t>(Section::payload_values));
    trie.video_index = v.array<VideoKey>(Section::video_keys);
    trie.is_terminal = v.array<std::uint8_t>(Section::term_ends);
    require_count("child_labels", trie.child_labels.size(), h.nodes);
    require_count("child_transitions", trie.child_transitions.size(), h.slots);
    require_count("video keys", trie.video_index.size(), h.videos);
    return trie;
}

// Whether the file kept a derived part, whose sections come all together or
// not at all.
bool kept_whole(const Views& v, std::initializer_list<Section> ids, const char* what) {
    const auto present = std::count_if(ids.begin(), ids.end(), [&](Section id) { return v.has(id); });
    if (present == 0) return false;
    if (static_cast<std::size_t>(present) != ids.size())
        throw InputError(std::string("index file has some of ") + what + " sections, not all");
    return true;
}

// The reversed terms the file kept, checked only for what lets them be
// read safely: the walks check every read of them as they go.
std::shared_ptr<ReversedTerms> reversed_of(const Views& v, const Header& h) {
    if (!kept_whole(v,
                    {Section::reversed_node_shifts, Section::reversed_child_labels,
                     Section::reversed_child_transitions, Section::reversed_term_flags,
                     Section::reversed_term_ends, Section::reversed_forward_nodes, Section::preorder_rank},
                    "the reversed terms'"))
        return nullptr;
    auto r = std::make_shared<ReversedTerms>();
    r->trie.node_shifts = v.array<std::uint32_t>(Section::reversed_node_shifts);
    r->trie.child_labels = v.array<char32_t>(Section::reversed_child_labels);
    r->trie.child_transitions = v.array<std::uint32_t>(Section::reversed_child_transitions);
    r->trie.is_terminal = v.array<std::uint8_t>(Section::reversed_term_flags);
    r->term_ends = v.array<std::uint32_t>(Section::reversed_term_ends);
    r->forward_nodes = v.array<std::uint32_t>(Section::reversed_forward_nodes);
    r->preorder_rank = v.array<std::uint32_t>(Section::preorder_rank);
    const std::size_t nodes = r->trie.child_labels.size();
    require_count("reversed node shifts", r->trie.node_shifts.size(), nodes);
    require_count("reversed term flags", r->trie.is_terminal.size(), nodes);
    require_count("reversed slots", r->trie.child_transitions.size(), nodes == 0 ? 0 : nodes - 1);
    require_count("reversed forward nodes", r->forward_nodes.size(), r->term_ends.size());
    require_count("preorder ranks", r->preorder_rank.size(), h.nodes);
    return r;
}

// The tail index the file kept, checked only for its lengths here: one pass
// over it on first use decides whether the walks may read it unchecked.
std::shared_ptr<TailIndex> tails_of(const Views& v, const Header& h) {
    if (!kept_whole(v, {Section::tail_parents, Section::tail_order, Section::tail_ranks}, "the tail index's"))
        return nullptr;
    auto tails = std::make_shared<TailIndex>();
    tails->parent = v.array<std::uint32_t>(Section::tail_parents);
    tails->by_tail = v.array<std::uint32_t>(Section::tail_order);
    tails->rank = v.array<std::uint32_t>(Section::tail_ranks);
    require_count("tail parents", tails->parent.size(), h.nodes);
    require_count("tail order", tails->by_tail.size(), h.nodes == 0 ? 0 : h.nodes - 1);
    require_count("tail ranks", tails->rank.size(), h.nodes);
    return tails;
}

TermIndex terms_of(const Views& v, const Header& h) {
    TermIndex terms;
    terms.folded = (h.flags & kFolded) != 0;
    terms.spellings = Spellings::viewing(v.get<std::uint32_t>(Section::spelling_nodes),
                                         v.get<std::uint32_t>(Section::spelling_ends),
                                         v.get<char>(Section::spelling_pool));
    CompletionTable& t = terms.table;
    t.entries = v.array<CompletionEntry>(Section::entries);
    t.entry_of = v.array<std::uint32_t>(Section::entry_of);
    t.preorder = v.array<std::uint32_t>(Section::preorder);
    t.top_lists = v.array<CompletionTable::TopList>(Section::top_lists);
    t.top_terms = v.array<std::uint32_t>(Section::top_terms);
    t.term_count = h.term_count;
    if (h.flags & kTableUnusable) {
        const std::span<const char> reason = v.get<char>(Section::unusable_reason, false);
        t.unusable = reason.empty() ? "the suggestion table is unusable" : std::string(reason.begin(), reason.end());
    }
    if (h.flags & kGivenVideoIds) {
        // Copied out, one pass over the ids: only indexes of the caller's
        // own ids pay for it.
        terms.video_ids = decode_given_ids(v.get<std::uint8_t>(Section::video_ids));
        require_count("video ids", terms.video_ids.size(), h.videos);
    }
    return terms;
}

}  // namespace

bool is_index_file(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= sizeof kMagic && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
}

OpenedIndex read_index(std::shared_ptr<const void> backing, std::span<const std::uint8_t> bytes, bool verify) {
    if constexpr (std::endian::native != std::endian::little)
        throw InputError("index files are little-endian and this machine is not: use to_bytes/from_bytes");
    const Header h = read_header(bytes);
    const Views views(bytes, read_sections(bytes, h));
    OpenedIndex opened{trie_of(views, h), terms_of(views, h)};
    if (auto reversed = reversed_of(views, h)) opened.trie.reversed.keep(std::move(reversed));
    if (auto tails = tails_of(views, h)) opened.trie.reversed.keep_tails(std::move(tails));
    opened.trie.backing = backing;
    opened.terms.backing = std::move(backing);
    // The walk by levels reads without checks on a trie whose layout
    // allows it, so the layout is worked out from the arrays, never taken
    // from the file: one pass over two of them, left to the first query (35
    // ms on 25 million nodes, which would make opening cost a twentieth of
    // loading the byte form rather than nothing).
    opened.trie.layout_pending = std::make_shared<std::once_flag>();
    if (verify) {
        opened.trie.ensure_layout();
        verify_index(opened.trie, opened.terms);
    }
    return opened;
}

}  // namespace quellnor::file
