// The compact integer form that every integer of the byte form takes, shared
// by the writer and the reader.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "trie/trie.hpp"

namespace quellnor::codec {

// Compact integers: a first byte up to kMaxInline is the value itself; the
// markers above it announce a little-endian value of 2, 4 or 8 bytes. The
// 128-bit marker and 0xFF are never written and rejected on reading.
inline constexpr std::uint8_t kMaxInline = 250;
inline constexpr std::uint8_t kMark16 = 0xFB;
inline constexpr std::uint8_t kMark32 = 0xFC;
inline constexpr std::uint8_t kMark64 = 0xFD;
inline constexpr std::uint8_t kMark128 = 0xFE;

inline constexpr std::size_t kKeySize = std::tuple_size_v<VideoKey>;

// Without branches, so that the compiler can vectorise the writer's sums over
// the big arrays; those are then bound by memory.
constexpr std::size_t compact_size(std::uint64_t value) {
    return 1 + 2 * (value > kMaxInline) + 2 * (value > 0xFFFF) + 4 * (value > 0xFFFF'FFFF);
}

// The most bytes one value takes in each form. The unchecked writers and
// readers need that much room; callers check it once for a whole list or
// payload.
inline constexpr std::size_t kMaxU32Size = 5;
inline constexpr std::size_t kMaxLengthSize = 9;

// Whole-word copies where the machine is little-endian: compilers do not
// reliably merge the byte-by-byte form into one access.
template <std::size_t N>
inline void store_le(std::uint8_t* p, std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &value, N);
    } else {
        for (std::size_t i = 0; i < N; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

template <std::size_t N>
inline std::uint64_t load_le(const std::uint8_t* p) {
    std::uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, p, N);
    } else {
        for (std::size_t i = 0; i < N; ++i) value |= std::uint64_t{p[i]} << (8 * i);
    }
    return value;
}

}  // namespace quellnor::codec
