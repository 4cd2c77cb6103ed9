#include "payload/pages.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#endif
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace quellnor {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The number a small system file holds, if it holds one.
std::optional<std::uint64_t> number_in(const char* path) noexcept {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return std::nullopt;
    unsigned long long value = 0;
    const bool read = std::fscanf(file, "%llu", &value) == 1;
    std::fclose(file);
    return read ? std::optional<std::uint64_t>(value) : std::nullopt;
}

// `free`, or less where the limit of the process's control group, version 2
// or else version 1, is closer to its use; "max" or a number past any
// machine's memory means no limit.
std::size_t within_group_limit(std::size_t free) noexcept {
    for (const auto& [limit, used] : {std::pair{"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"},
                                      std::pair{"/sys/fs/cgroup/memory/memory.limit_in_bytes",
                                                "/sys/fs/cgroup/memory/memory.usage_in_bytes"}}) {
        const std::optional<std::uint64_t> most = number_in(limit), now = number_in(used);
        if (!most.has_value() || !now.has_value()) continue;
        if (*most < (std::uint64_t{1} << 60)) free = std::min<std::uint64_t>(free, *most > *now ? *most - *now : 0);
        break;
    }
    return free;
}

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

void forget_pages(const void* begin, const void* end) noexcept {
#if defined(MADV_DONTNEED) && defined(_SC_PAGESIZE)
    static const long page_size = ::sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    // Only whole pages: the bytes around the range may be another object's,
    // or the heap's own records of the block.
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#else
    (void)begin;
    (void)end;
#endif
}

std::size_t free_memory() noexcept {
    std::size_t free = 0;
#if defined(_SC_AVPHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = ::sysconf(_SC_AVPHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) free = static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
#endif
    return within_group_limit(free);
}

std::size_t available_memory() noexcept {
    std::size_t available = 0;
    bool said = false;
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        while (std::fgets(line, sizeof line, meminfo) != nullptr)
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
                available = static_cast<std::size_t>(kib) * 1024;
                said = true;
                break;
            }
        std::fclose(meminfo);
    }
    return said ? within_group_limit(available) : free_memory();
}

std::size_t address_space_left() noexcept {
#if __has_include(<sys/resource.h>)
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    std::size_t mapped = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long pages = 0;
        if (std::fscanf(statm, "%lu", &pages) == 1) mapped = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        std::fclose(statm);
    }
    return limit.rlim_cur > mapped ? static_cast<std::size_t>(limit.rlim_cur - mapped) : 0;
#else
    return SIZE_MAX;
#endif
}

void return_free_pages() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace quellnor
