// What the fuzz target's checks share: failing loudly, attempting an
// operation that may fail as expected, reading parameters from the input's
// end, and a plain edit distance to check distances against.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fault.hpp"

namespace fuzz {

using quellnor::Fault;
using quellnor::InputError;

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "\nfuzz_index: check failed: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define CHECK(cond, ...) \
    do {                 \
        if (!(cond)) fail(#cond, ##__VA_ARGS__); \
    } while (0)

// With FUZZ_INDEX_TRACE set in the environment, every operation reports its
// outcome and duration on standard error: for finding what a slow input does.
inline const bool kTrace = std::getenv("FUZZ_INDEX_TRACE") != nullptr;

struct Trace {
    const char* what;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    void operator()(const char* outcome, std::size_t size = 0) const {
        if (!kTrace) return;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "fuzz_index: %-22s %-10s %8zu results %9.1f ms\n", what, outcome, size, ms);
    }
};

template <class T>
std::size_t result_size(const T& value) {
    if constexpr (requires { value.size(); }) return value.size();
    return 0;
}

// How the last attempt below that failed ended: the kind of failure and its
// message, for comparing two calls that must fail alike.
inline std::string last_failure;

// Runs `op`; an expected failure gives nullopt, anything else propagates.
template <class Op>
auto attempt(const char* what, Op&& op) -> std::optional<decltype(op())> {
    const Trace trace{what};
    try {
        auto result = op();
        trace("ok", result_size(result));
        return result;
    } catch (const Fault& e) {
        trace("Fault");
        last_failure = std::string("Fault: ") + e.what();
    } catch (const InputError& e) {
        trace("InputError");
        last_failure = std::string("InputError: ") + e.what();
    } catch (const std::bad_alloc&) {
        trace("bad_alloc");
        last_failure = "bad_alloc";
    }
    return std::nullopt;
}

// Reads parameter bytes from the end of the input towards its front; past
// the front it yields zeros, so every input has a complete parameter set.
class Tail {
public:
    explicit Tail(std::span<const std::uint8_t> data) : data_(data), left_(data.size()) {}

    std::uint8_t byte() { return left_ == 0 ? 0 : data_[--left_]; }

    std::uint16_t u16() {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | (byte() << 8));
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t left_;
};

// D(prefix of `path` with i code points, query) for every i, as rows of
// the textbook table; with `transpositions`, an adjacent swap is one edit
// (optimal string alignment).
inline std::vector<std::uint32_t> distances_to_prefixes(std::u32string_view query, std::u32string_view path,
                                                        bool transpositions) {
    std::vector<std::vector<std::uint32_t>> rows(path.size() + 1, std::vector<std::uint32_t>(query.size() + 1));
    for (std::size_t j = 0; j <= query.size(); ++j) rows[0][j] = static_cast<std::uint32_t>(j);
    for (std::size_t i = 1; i <= path.size(); ++i) {
        rows[i][0] = static_cast<std::uint32_t>(i);
        for (std::size_t j = 1; j <= query.size(); ++j) {
            std::uint32_t cell = std::min({rows[i - 1][j] + 1, rows[i][j - 1] + 1,
                                           rows[i - 1][j - 1] + (path[i - 1] == query[j - 1] ? 0u : 1u)});
            if (transpositions && i > 1 && j > 1 && path[i - 1] == query[j - 2] && path[i - 2] == query[j - 1])
                cell = std::min(cell, rows[i - 2][j - 2] + 1);
            rows[i][j] = cell;
        }
    }
    std::vector<std::uint32_t> out(path.size() + 1);
    for (std::size_t i = 0; i <= path.size(); ++i) out[i] = rows[i][query.size()];
    return out;
}

}  // namespace fuzz
