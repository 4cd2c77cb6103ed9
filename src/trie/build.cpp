#include "trie/build.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "progress.hpp"

namespace quellnor {

Trie build_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                std::span<const VideoKeyInput> video_index, std::uint64_t video_top_n,
                std::vector<std::uint32_t>* supplied_totals) {
    Trie trie = assemble_trie(std::move(node_shifts), std::move(child_labels), payloads,
                              std::move(child_transitions), video_index, supplied_totals);
    trie.propagate(video_top_n);
    return trie;
}

namespace {

// With `copied`, which is `payloads`, every payload is copied into the
// trie's table; without, the table stays empty.
Trie assemble(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
              const PayloadSource& payloads, PayloadSource* copied, std::vector<std::uint32_t> child_transitions,
              std::span<const VideoKeyInput> video_index, std::vector<std::uint32_t>* supplied_totals) {
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

    if (copied != nullptr) {
        // Sized for every node at once: most nodes of a large trie carry no
        // payload, and each costs a few stores rather than a checked append.
        PayloadTable::Filler fill(trie.payloads, node_count, 0);
        Progress progress;
        for (std::size_t i = 0; i < node_count; ++i) {
            progress.advance();
            if (!trie.is_terminal[i]) {
                fill.absent();
                continue;
            }
            const PayloadView payload = copied->convert(i);
            // Propagation and ranking read counts alongside ids; equal lengths
            // are what makes those reads safe, whoever supplied the payload.
            if (payload.video_ids.size() != payload.video_counts.size())
                throw InputError("video_ids and video_counts length mismatch");
            fill.open(payload.total_count);
            std::copy(payload.video_ids.begin(), payload.video_ids.end(), fill.ids(payload.video_ids.size()));
            std::copy(payload.video_counts.begin(), payload.video_counts.end(),
                      fill.counts(payload.video_counts.size()));
            fill.close();
        }
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

    trie.note_layout();
    if (supplied_totals != nullptr) {
        // The filler gave every absent node a total of 0.
        const auto totals = trie.payloads.totals();
        supplied_totals->assign(totals.begin(), totals.end());
    }
    return trie;
}

}  // namespace

Trie assemble_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                   PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                   std::span<const VideoKeyInput> video_index, std::vector<std::uint32_t>* supplied_totals) {
    return assemble(std::move(node_shifts), std::move(child_labels), payloads, &payloads,
                    std::move(child_transitions), video_index, supplied_totals);
}

Trie assemble_shape(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                    const PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                    std::span<const VideoKeyInput> video_index) {
    return assemble(std::move(node_shifts), std::move(child_labels), payloads, nullptr, std::move(child_transitions),
                    video_index, nullptr);
}

}  // namespace quellnor
