// Construction of an index from the flat arrays the caller prepared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

// A `video_index` entry as converted from the caller: up to 16 bytes kept, and
// the full length so that a wrong length can be reported.
struct VideoKeyInput {
    VideoKey bytes{};
    std::size_t length = 0;
};

// Supplies the caller's payloads to the builder, one node at a time, in node
// order. The binding converts interpreter objects behind this interface.
class PayloadSource {
public:
    virtual ~PayloadSource() = default;
    virtual std::size_t size() const = 0;
    virtual bool present(std::size_t node) const = 0;
    // Converts the payload of a present node; throws on malformed input. The
    // view stays valid until the next call, which lets a source convert
    // every payload into the same working memory.
    virtual PayloadView convert(std::size_t node) = 0;
    // Told a node some nodes before it is converted, in two steps: `far`
    // ahead, then nearer. A source whose payloads lie all over memory can
    // start loading them; the others ignore it.
    virtual void prefetch([[maybe_unused]] std::size_t node, [[maybe_unused]] bool far) const {}
    // Told once nothing more is converted: a source that holds its payloads
    // itself can free them before its reader's last phase.
    virtual void let_go() {}
};

// Validates the flat arrays in a fixed order, assembles the Trie and
// propagates payloads (assemble_trie, then Trie::propagate). `child_labels` are already reduced to first code points
// (0 for an empty label). Throws InputError with the first failing check.
// With `supplied_totals`, it receives each node's total_count as supplied,
// before propagation adds the subtree's (0 where no payload was supplied).
Trie build_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                std::span<const VideoKeyInput> video_index, std::uint64_t video_top_n,
                std::vector<std::uint32_t>* supplied_totals = nullptr);

// The same, without the propagation: each node holds its payload as supplied.
Trie assemble_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                   PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                   std::span<const VideoKeyInput> video_index,
                   std::vector<std::uint32_t>* supplied_totals = nullptr);

// The same checks and arrays with an empty payload table: which nodes end a
// term comes from `payloads`, and their payloads stay where they are, for a
// caller that propagates from them directly (propagate_by_depth).
Trie assemble_shape(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                    const PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                    std::span<const VideoKeyInput> video_index);

}  // namespace quellnor
