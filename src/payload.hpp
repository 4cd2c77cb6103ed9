// A node's payload: the videos behind the node with their counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace quellnor {

inline constexpr std::uint32_t kCountMax = 0xFFFF'FFFFu;

inline std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    std::uint32_t sum;
    return __builtin_add_overflow(a, b, &sum) ? kCountMax : sum;
}

// A payload as stored: views into the table that owns it.
struct PayloadView {
    std::uint32_t total_count = 0;
    std::span<const std::uint32_t> video_ids;
    std::span<const std::uint32_t> video_counts;
};

struct Payload {
    std::uint32_t total_count = 0;
    std::vector<std::uint32_t> video_ids;
    std::vector<std::uint32_t> video_counts;

    bool operator==(const Payload&) const = default;
    PayloadView view() const { return {total_count, video_ids, video_counts}; }

};

// Folds payloads together in one pass: totals add up (saturating), counts of
// the same video add up, and the list comes out free of duplicates, ordered
// by summed count, highest first (ties by ascending id). Sums are ranked at
// 64 bits; whoever stores them saturates them to 32. Its working memory is
// reused from one merge to the next.
class PayloadMerger {
public:
    struct Entry {
        std::uint32_t video;
        std::uint64_t sum;
    };

    // Ids below `videos` are added up through a table indexed by id; any
    // other id makes its merge sort by id instead.
    explicit PayloadMerger(std::size_t videos) : slot_of_video_(videos, 0) {}

    // Merges `own` with `others` and returns the total. The ranked entries
    // stay in entries() until the next merge. A payload whose counts are
    // shorter than its ids faults before anything is merged.
    std::uint32_t merge(const PayloadView& own, std::span<const PayloadView> others);
    std::span<const Entry> entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    // 1 + the position in `entries_` of each id seen in the current merge,
    // 0 for the others; every slot is back to 0 between merges.
    std::vector<std::uint32_t> slot_of_video_;
};

// Memory for a flat array. A block of a few MiB or more starts on a huge-page
// boundary and is offered to the kernel for transparent huge pages: filling
// fresh memory then takes one page fault per 2 MiB instead of one per 4 KiB,
// and loading a large index spends a fifth of its time in page faults
// otherwise. Only whole huge pages inside the block are offered, so it never
// makes more memory resident than the array uses. Smaller blocks come from
// operator new. Either way the block goes back through release_pages().
void* allocate_pages(std::size_t bytes);
void release_pages(void* block, std::size_t bytes) noexcept;

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
    // Leaves the elements that a resize adds uninitialised: a decoder sizes
    // the arrays for what it is about to write and fills every slot itself,
    // where clearing them first would be one more pass over fresh memory.
    // Large arrays take their memory from allocate_pages().
    template <class T>
    struct UninitializedAllocator : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = UninitializedAllocator<U>;
        };
        UninitializedAllocator() = default;
        template <class U>
        UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

        T* allocate(std::size_t n) {
            if (n > std::allocator_traits<std::allocator<T>>::max_size(*this))
                throw std::bad_array_new_length();
            return static_cast<T*>(allocate_pages(n * sizeof(T)));
        }
        void deallocate(T* p, std::size_t n) noexcept { release_pages(p, n * sizeof(T)); }

        template <class U>
        void construct(U* p) noexcept {
            ::new (static_cast<void*>(p)) U;
        }
        template <class U, class... Args>
        void construct(U* p, Args&&... args) {
            std::construct_at(p, std::forward<Args>(args)...);
        }
    };
    template <class T>
    using Array = std::vector<T, UninitializedAllocator<T>>;

public:
    class Filler;

    std::size_t size() const { return present_.size(); }

    // The payload of `node`, or nothing when it is absent. `node` must be
    // below size(): read it through checked_at.
    std::optional<PayloadView> operator[](std::size_t node) const {
        if (!present_[node]) return std::nullopt;
        const std::uint32_t* base = values_.data();
        const std::uint32_t ids = bounds_[2 * node], counts = bounds_[2 * node + 1],
                            end = bounds_[2 * node + 2];
        return PayloadView{totals_[node], {base + ids, counts - ids}, {base + counts, end - counts}};
    }

    // Every list of every node, one after another in node order.
    std::span<const std::uint32_t> values() const { return values_; }

    void reserve(std::size_t nodes, std::size_t values);
    void push_absent();
    void push(const PayloadView& payload);

    bool operator==(const PayloadTable&) const = default;

    // The most values the pool can hold: its positions are 32-bit.
    static constexpr std::size_t kMaxValues = 0xFFFF'FFFFu;

private:
    // Fails unless a pool of `size` values fits the bounds.
    static void check_pool_size(std::size_t size);

    Array<std::uint8_t> present_;
    Array<std::uint32_t> totals_;
    Array<std::uint32_t> bounds_{0};
    Array<std::uint32_t> values_;
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
