// Every node's payload, stored flat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "array.hpp"
#include "payload/pages.hpp"
#include "payload/payload.hpp"

namespace quellnor {

// Every node's optional payload in three flat arrays rather than two heap
// blocks per node: an index of a few hundred thousand terms loads, walks and
// frees as a handful of allocations. Node n's ids are
// values[bounds[2n] .. bounds[2n+1]) and its counts
// values[bounds[2n+1] .. bounds[2n+2]), in node order with nothing between,
// so equal tables compare equal field by field. Bounds are 32-bit, which
// holds the pool's positions in half the memory (on an index without videos
// they are most of what a node costs); a pool that would outgrow them raises
// std::length_error, which ends the call as running out of memory does.
class PayloadTable {
public:
    template <class T>
    using Column = Array<T, UninitializedAllocator<T>>;

    class Filler;

    std::size_t size() const { return present_.size(); }

    // The payload of `node`, or nothing when it is absent. `node` must be
    // below size(): read it through checked_at.
    std::optional<PayloadView> operator[](std::size_t node) const {
        if (!present_[node]) return std::nullopt;
        // Bounds from a file are read as they are: a payload outside the
        // pool ends the call rather than the process.
        if (!bounds_fit(node)) [[unlikely]]
            bounds_out_of_place(node);
        const std::uint32_t* base = values_.data();
        const std::uint32_t ids = bounds_[2 * node], counts = bounds_[2 * node + 1],
                            end = bounds_[2 * node + 2];
        return PayloadView{totals_[node], {base + ids, counts - ids}, {base + counts, end - counts}};
    }

    // Every list of every node, one after another in node order.
    std::span<const std::uint32_t> values() const { return values_; }

    // The flat arrays as an index file lays them out: per node a presence
    // byte and a total, 2 * size() + 1 bounds, the value pool.
    std::span<const std::uint8_t> presence() const { return present_; }
    std::span<const std::uint32_t> totals() const { return totals_; }
    std::span<const std::uint32_t> bounds() const { return bounds_; }

    // A table over arrays that live elsewhere (a mapping) and outlive it.
    // Their lengths must agree (the bounds 2 * nodes + 1); the bounds
    // themselves are read as they are, so operator[] on a table from a file
    // must be preceded by a check of the node's bounds (bounds_fit).
    static PayloadTable viewing(std::span<const std::uint8_t> presence,
                                std::span<const std::uint32_t> totals,
                                std::span<const std::uint32_t> bounds,
                                std::span<const std::uint32_t> values);

    // Whether the bounds of `node` (below size()) are ordered and inside the pool.
    bool bounds_fit(std::size_t node) const {
        const std::uint32_t ids = bounds_[2 * node], counts = bounds_[2 * node + 1],
                            end = bounds_[2 * node + 2];
        return ids <= counts && counts <= end && end <= values_.size();
    }

    // A table over arrays its maker filled in this layout itself, in
    // whatever order suited it: `bounds` 2 * nodes + 1 positions into
    // `values`, as the reader of a file would find them.
    static PayloadTable adopting(Column<std::uint8_t> presence, Column<std::uint32_t> totals,
                                 Column<std::uint32_t> bounds, Column<std::uint32_t> values);

    void reserve(std::size_t nodes, std::size_t values);
    void push_absent();
    void push(const PayloadView& payload);

    bool operator==(const PayloadTable&) const = default;

    // The most values the pool can hold: its positions are 32-bit.
    static constexpr std::size_t kMaxValues = 0xFFFF'FFFFu;

    // Fails unless a pool of `size` values fits the bounds.
    static void check_pool_size(std::size_t size);

private:
    [[noreturn]] static void bounds_out_of_place(std::size_t node);

    Column<std::uint8_t> present_;
    Column<std::uint32_t> totals_;
    Column<std::uint32_t> bounds_{0};
    Column<std::uint32_t> values_;
};

// Appends payloads for a decoder that writes each list's values in place:
// the arrays are sized ahead, so adding a node or a value checks no capacity
// and no list costs a resize of its own. Per node: absent(), or open(), ids(),
// counts() and close(), each list written in full before the next call. Once
// the filler is gone the table holds exactly the nodes completed, also when
// a decoder gave up halfway through one.
class PayloadTable::Filler {
public:
    // At most `nodes` payloads follow; `values` is a first guess at how many
    // values they hold, which the pool outgrows geometrically if needed.
    Filler(PayloadTable& table, std::size_t nodes, std::size_t values);
    ~Filler();
    Filler(const Filler&) = delete;
    Filler& operator=(const Filler&) = delete;

    void absent() {
        const std::size_t node = next_node();
        t_.present_[node] = 0;
        t_.totals_[node] = 0;
        t_.bounds_[2 * node + 1] = static_cast<std::uint32_t>(used_);
        t_.bounds_[2 * node + 2] = static_cast<std::uint32_t>(used_);
        ++done_;
    }

    void open(std::uint32_t total_count) {
        const std::size_t node = next_node();
        t_.present_[node] = 1;
        t_.totals_[node] = total_count;
    }

    // A list's room is followed by at least this many more values that the
    // caller may scribble on (the next list overwrites them), so a decoder
    // can widen a whole vector of bytes at a time without a tail loop.
    static constexpr std::size_t kScratchAfter = 16;

    // Room for the ids (then the counts) of the open node: `n` values that
    // the caller writes before anything else is added.
    std::uint32_t* ids(std::size_t n) {
        std::uint32_t* room = take(n);
        t_.bounds_[2 * done_ + 1] = static_cast<std::uint32_t>(used_);
        return room;
    }
    std::uint32_t* counts(std::size_t n) {
        std::uint32_t* room = take(n);
        t_.bounds_[2 * done_ + 2] = static_cast<std::uint32_t>(used_);
        return room;
    }
    void close() { ++done_; }

private:
    std::size_t next_node() const {
        if (done_ == node_limit_) [[unlikely]]
            too_many_nodes();
        return done_;
    }
    [[noreturn]] static void too_many_nodes();

    std::uint32_t* take(std::size_t n) {
        if (n + kScratchAfter > t_.values_.size() - used_) [[unlikely]]
            grow(n + kScratchAfter);
        std::uint32_t* room = t_.values_.data() + used_;
        used_ += n;
        return room;
    }
    void grow(std::size_t n);

    PayloadTable& t_;
    std::size_t done_;        // nodes completed
    std::size_t node_limit_;  // nodes the arrays have room for
    std::size_t used_;        // values written or handed out
};

}  // namespace quellnor
