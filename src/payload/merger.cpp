#include "payload/merger.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "fault.hpp"

namespace quellnor {

namespace {

// Appends one payload's (video, count) pairs. Counts are read through the
// checked accessor: a payload whose counts are shorter than its ids faults
// here, before the receiving payload has been touched.
void collect(const PayloadView& payload, std::vector<PayloadMerger::Entry>& out) {
    const std::size_t n = payload.video_ids.size();
    for (std::size_t i = 0; i < n; ++i)
        out.push_back({payload.video_ids[i], checked_at(payload.video_counts, i)});
}

// Adds up the entries of each id in place, keeping first appearances in
// order; returns how many ids there are. Fails (returns nothing) when an id
// is beyond the table, before touching anything.
std::optional<std::size_t> add_up_by_table(std::vector<PayloadMerger::Entry>& entries,
                                           std::vector<std::uint32_t>& slot_of_video) {
    for (const PayloadMerger::Entry& e : entries)
        if (e.video >= slot_of_video.size()) return std::nullopt;
    std::size_t unique = 0;
    for (const PayloadMerger::Entry& e : entries) {
        std::uint32_t& slot = slot_of_video[e.video];
        if (slot == 0) {
            entries[unique++] = e;
            slot = static_cast<std::uint32_t>(unique);
        } else {
            entries[slot - 1].sum += e.sum;
        }
    }
    for (std::size_t i = 0; i < unique; ++i) slot_of_video[entries[i].video] = 0;
    return unique;
}

// The same by sorting on the id, for any ids at all.
std::size_t add_up_by_sorting(std::vector<PayloadMerger::Entry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const PayloadMerger::Entry& a,
                                                 const PayloadMerger::Entry& b) {
        return a.video < b.video;
    });
    std::size_t unique = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (unique > 0 && entries[unique - 1].video == entries[i].video)
            entries[unique - 1].sum += entries[i].sum;
        else
            entries[unique++] = entries[i];
    }
    return unique;
}

}  // namespace

std::uint32_t PayloadMerger::merge(const PayloadView& own, std::span<const PayloadView> others) {
    entries_.clear();
    collect(own, entries_);
    std::uint32_t total = own.total_count;
    for (const PayloadView& other : others) {
        collect(other, entries_);
        total = saturating_add(total, other.total_count);
    }

    // Ids index a table when they are small enough, which is the usual case;
    // either way there is no allocation once the entries have grown, and no
    // dependence on a hash seed.
    std::size_t unique = 0;
    if (const std::optional<std::size_t> counted = add_up_by_table(entries_, slot_of_video_))
        unique = *counted;
    else
        unique = add_up_by_sorting(entries_);
    entries_.resize(unique);

    // Rank on the full 64-bit sums; a tie on the sum falls back to the id so
    // that the cut a caller makes afterwards is reproducible. Most nodes of a
    // word trie pass one child's ranked list upwards unchanged, already in
    // order.
    const auto ranks_before = [](const Entry& a, const Entry& b) {
        return a.sum != b.sum ? a.sum > b.sum : a.video < b.video;
    };
    if (!std::is_sorted(entries_.begin(), entries_.end(), ranks_before))
        std::sort(entries_.begin(), entries_.end(), ranks_before);
    return total;
}

}  // namespace quellnor
