#include "payload.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>

#include "fault.hpp"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

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

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Below two huge pages an array would gain at most one.
bool on_huge_pages([[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    return bytes >= 2 * kHugePage;
#else
    return false;
#endif
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
    if (!on_huge_pages(bytes)) return ::operator new(bytes);
    // aligned_alloc wants a whole number of alignments; the part past
    // `bytes` is address space only, never touched.
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: where the kernel declines, the array uses small pages.
    madvise(block, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
    return block;
}

void release_pages(void* block, std::size_t bytes) noexcept {
    if (on_huge_pages(bytes))
        std::free(block);
    else
        ::operator delete(block);
}

void PayloadTable::check_pool_size(std::size_t size) {
    if (size > kMaxValues) throw std::length_error("payload values beyond 32-bit positions");
}

void PayloadTable::reserve(std::size_t nodes, std::size_t values) {
    present_.reserve(nodes);
    totals_.reserve(nodes);
    bounds_.reserve(2 * nodes + 1);
    values_.reserve(values);
}

void PayloadTable::push_absent() {
    const auto end = static_cast<std::uint32_t>(values_.size());
    present_.push_back(0);
    totals_.push_back(0);
    bounds_.push_back(end);
    bounds_.push_back(end);
}

void PayloadTable::push(const PayloadView& payload) {
    check_pool_size(values_.size() + payload.video_ids.size() + payload.video_counts.size());
    present_.push_back(1);
    totals_.push_back(payload.total_count);
    values_.insert(values_.end(), payload.video_ids.begin(), payload.video_ids.end());
    bounds_.push_back(static_cast<std::uint32_t>(values_.size()));
    values_.insert(values_.end(), payload.video_counts.begin(), payload.video_counts.end());
    bounds_.push_back(static_cast<std::uint32_t>(values_.size()));
}

// Everything is reserved before anything is resized, so a failed allocation
// leaves the table as it was.
PayloadTable::Filler::Filler(PayloadTable& table, std::size_t nodes, std::size_t values)
    : t_(table), done_(table.size()), node_limit_(table.size() + nodes),
      used_(table.values_.size()) {
    const std::size_t pool = std::min(used_ + values, kMaxValues) + kScratchAfter;
    t_.present_.reserve(node_limit_);
    t_.totals_.reserve(node_limit_);
    t_.bounds_.reserve(2 * node_limit_ + 1);
    t_.values_.reserve(pool);
    t_.present_.resize(node_limit_);
    t_.totals_.resize(node_limit_);
    t_.bounds_.resize(2 * node_limit_ + 1);
    t_.values_.resize(pool);
}

PayloadTable::Filler::~Filler() {
    t_.present_.resize(done_);
    t_.totals_.resize(done_);
    t_.bounds_.resize(2 * done_ + 1);
    t_.values_.resize(t_.bounds_.back());
}

void PayloadTable::Filler::too_many_nodes() {
    throw Fault("payload table filled beyond the nodes it was sized for");
}

// Only what has been written moves to the larger pool; the new room is again
// left uninitialised. Reserving first keeps the growth exact, where a resize
// past the capacity may double it. `n` includes the scratch room after the
// list, which never becomes a position, so it may go past the 32-bit limit.
void PayloadTable::Filler::grow(std::size_t n) {
    check_pool_size(used_ + n - kScratchAfter);
    t_.values_.resize(used_);
    const std::size_t size = std::min(used_ + std::max(n, used_), kMaxValues + kScratchAfter);
    t_.values_.reserve(size);
    t_.values_.resize(size);
}

}  // namespace quellnor
