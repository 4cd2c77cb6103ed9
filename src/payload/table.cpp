#include "payload/table.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

#include "fault.hpp"

namespace quellnor {

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
    values_.append(payload.video_ids.begin(), payload.video_ids.end());
    bounds_.push_back(static_cast<std::uint32_t>(values_.size()));
    values_.append(payload.video_counts.begin(), payload.video_counts.end());
    bounds_.push_back(static_cast<std::uint32_t>(values_.size()));
}

void PayloadTable::bounds_out_of_place(std::size_t node) {
    throw Fault("the payload of node " + std::to_string(node) + " lies outside the value pool");
}

PayloadTable PayloadTable::viewing(std::span<const std::uint8_t> presence,
                                   std::span<const std::uint32_t> totals,
                                   std::span<const std::uint32_t> bounds,
                                   std::span<const std::uint32_t> values) {
    if (totals.size() != presence.size() || bounds.size() != 2 * presence.size() + 1)
        throw InputError("payload arrays of different lengths");
    PayloadTable table;
    table.present_ = Column<std::uint8_t>::viewing(presence.data(), presence.size());
    table.totals_ = Column<std::uint32_t>::viewing(totals.data(), totals.size());
    table.bounds_ = Column<std::uint32_t>::viewing(bounds.data(), bounds.size());
    table.values_ = Column<std::uint32_t>::viewing(values.data(), values.size());
    return table;
}

PayloadTable PayloadTable::adopting(Column<std::uint8_t> presence, Column<std::uint32_t> totals,
                                   Column<std::uint32_t> bounds, Column<std::uint32_t> values) {
    if (totals.size() != presence.size() || bounds.size() != 2 * presence.size() + 1)
        throw Fault("payload arrays of different lengths");
    check_pool_size(values.size());
    PayloadTable table;
    table.present_ = std::move(presence);
    table.totals_ = std::move(totals);
    table.bounds_ = std::move(bounds);
    table.values_ = std::move(values);
    return table;
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
