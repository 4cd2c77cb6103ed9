// Memory for the large flat arrays of an index.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace quellnor {

// Memory for a flat array. A block of a few MiB or more starts on a huge-page
// boundary and is offered to the kernel for transparent huge pages: filling
// fresh memory then takes one page fault per 2 MiB instead of one per 4 KiB,
// and loading a large index spends a fifth of its time in page faults
// otherwise. Only whole huge pages inside the block are offered, so it never
// makes more memory resident than the array uses. Smaller blocks come from
// operator new. Either way the block goes back through release_pages().
void* allocate_pages(std::size_t bytes);
void release_pages(void* block, std::size_t bytes) noexcept;

// Hands the free pages inside the heap back to the system. What a phase of
// a build frees in blocks too small for a mapping of their own stays
// resident otherwise, beneath the arrays that the next phase maps afresh.
void return_free_pages() noexcept;

// Hands back to the system the whole pages inside [begin, end), which the
// caller never reads again (they would read as zeros): a pass that goes
// through arrays once, in order, frees what is behind it while what it makes
// grows, instead of holding both until it ends.
void forget_pages(const void* begin, const void* end) noexcept;

template <class T>
void forget_first(const std::vector<T>& array, std::size_t count) noexcept {
    forget_pages(array.data(), array.data() + std::min(count, array.size()));
}

// The memory free for this process now, in bytes: what the system has free,
// or less where the process's control group (a container's) is limited
// closer to its use. 0 where the system does not say.
std::size_t free_memory() noexcept;

// What the system could give this process now, in bytes: what it has free
// and the caches it would drop for it (MemAvailable), or less where the
// control group is limited closer to its use. Where the system does not
// say, what it has free.
std::size_t available_memory() noexcept;

// The address space this process may still map, in bytes: SIZE_MAX unless
// it is limited (RLIMIT_AS, `ulimit -v`).
std::size_t address_space_left() noexcept;

// Leaves the elements that a resize adds uninitialised: a decoder sizes the
// arrays for what it is about to write and fills every slot itself, where
// clearing them first would be one more pass over fresh memory. Large arrays
// take their memory from allocate_pages().
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

}  // namespace quellnor
