// Rows computed by the walks: what the benchmark reports as nodes visited
// per query. Counted only where the core is built with QUELLNOR_COUNT_ROWS
// (the benchmark's own build of it); elsewhere the count compiles to nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quellnor::search {

#ifdef QUELLNOR_COUNT_ROWS
inline constexpr bool kCountRows = true;
#else
inline constexpr bool kCountRows = false;
#endif

inline thread_local std::uint64_t rows_computed = 0;

[[gnu::always_inline]] inline void count_rows(std::size_t rows) {
    if constexpr (kCountRows) rows_computed += rows;
}

}  // namespace quellnor::search
