#include "trie.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace quellnor {

void Trie::propagate(std::uint64_t video_top_n) {
    const std::size_t node_count = payloads.size();
    for (std::optional<Payload>& slot : payloads)
        if (!slot) slot.emplace();

    // Working memory shared by every node: after the first few nodes have
    // grown these, propagation allocates only for the lists it keeps.
    std::vector<const Payload*> sources;
    std::vector<Payload::Entry> scratch;
    Payload merged;

    for (std::size_t n = node_count; n-- > 0;) {
        Payload& own = *payloads[n];
        const ChildRange range = child_range(n);

        // A node listed as its own child adds nothing: its aggregate is what
        // is being computed. A child listed twice is counted twice.
        sources.clear();
        sources.push_back(&own);
        for (std::size_t k = range.begin; k < range.end; ++k) {
            const std::uint32_t child = checked_at(child_transitions, k);
            if (child == n) continue;
            const std::optional<Payload>& slot = checked_at(payloads, child);
            sources.push_back(&*slot);
        }

        if (sources.size() > 1) {
            // Merge all children at once rather than one after another, so a
            // wide node costs a sort of its entries, not its fan-out squared.
            // The result is built in `merged` and only the kept head is copied
            // back, so a node never holds capacity for entries the cut drops.
            merged.total_count = 0;
            merged.video_ids.clear();
            merged.video_counts.clear();
            merged.merge_from(std::span<const Payload* const>(sources), scratch);
            const std::size_t keep = static_cast<std::size_t>(
                std::min<std::uint64_t>(merged.video_ids.size(), video_top_n));
            own.total_count = merged.total_count;
            own.video_ids.assign(merged.video_ids.begin(), merged.video_ids.begin() + keep);
            own.video_counts.assign(merged.video_counts.begin(),
                                    merged.video_counts.begin() + keep);
        } else if (own.video_ids.size() > video_top_n) {
            // A childless node keeps its lists as supplied, only shortened.
            const auto keep = static_cast<std::size_t>(video_top_n);
            own.video_ids.resize(keep);
            if (own.video_counts.size() > keep) own.video_counts.resize(keep);
        }
    }
}

Trie build_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                std::span<const VideoKeyInput> video_index, std::uint64_t video_top_n) {
    const std::size_t node_count = child_labels.size();

    if (node_shifts.size() != node_count)
        throw InputError("node_shifts len " + std::to_string(node_shifts.size()) +
                         " != child_labels len " + std::to_string(node_count));
    if (payloads.size() != node_count)
        throw InputError("payloads len " + std::to_string(payloads.size()) +
                         " != child_labels len " + std::to_string(node_count));
    for (std::size_t i = 0; i < child_transitions.size(); ++i) {
        if (child_transitions[i] >= node_count)
            throw InputError("child_transitions[" + std::to_string(i) + "] = " +
                             std::to_string(child_transitions[i]) + " out of range [0.." +
                             std::to_string(node_count) + ")");
    }

    Trie trie;

    trie.is_terminal.resize(node_count);
    for (std::size_t i = 0; i < node_count; ++i)
        trie.is_terminal[i] = payloads.present(i) ? 1 : 0;

    trie.payloads.resize(node_count);
    for (std::size_t i = 0; i < node_count; ++i) {
        if (!trie.is_terminal[i]) continue;
        Payload payload = payloads.convert(i);
        // Propagation and ranking read counts alongside ids; equal lengths
        // are what makes those reads safe, whoever supplied the payload.
        if (payload.video_ids.size() != payload.video_counts.size())
            throw InputError("video_ids and video_counts length mismatch");
        trie.payloads[i].emplace(std::move(payload));
    }

    trie.video_index.resize(video_index.size());
    for (std::size_t i = 0; i < video_index.size(); ++i) {
        if (video_index[i].length != trie.video_index[i].size())
            throw InputError("video_index entries must be exactly 16 bytes");
        trie.video_index[i] = video_index[i].bytes;
    }

    trie.node_shifts = std::move(node_shifts);
    trie.child_labels = std::move(child_labels);
    trie.child_transitions = std::move(child_transitions);

    trie.propagate(video_top_n);
    return trie;
}

}  // namespace quellnor
