#include "payload/pages.hpp"

#include <cstdlib>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace quellnor {

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

std::size_t free_memory() noexcept {
#if defined(_SC_AVPHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = ::sysconf(_SC_AVPHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(page) : 0;
#else
    return 0;
#endif
}

void return_free_pages() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace quellnor
