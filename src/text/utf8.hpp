// UTF-8: the one set of rules for every place that reads or writes it (the
// query, the terms a walk spells, the labels of the byte form, the caller's
// text in the binding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/code_point_buffer.hpp"

namespace quellnor::utf8 {

inline constexpr char32_t kReplacement = U'\uFFFD';

// A code point that UTF-8 can carry: not a surrogate, not beyond U+10FFFF.
constexpr bool is_scalar_value(char32_t c) {
    return c <= 0x10'FFFF && (c < 0xD800 || c > 0xDFFF);
}

// What text spelt from untrusted code points shows: a value UTF-8 cannot
// carry comes out as U+FFFD, so the text stays valid.
constexpr char32_t scalar_or_replacement(char32_t c) {
    return is_scalar_value(c) ? c : kReplacement;
}

// Bytes in the form of a scalar value.
constexpr std::size_t encoded_length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x1'0000 ? 3 : 4;
}

// Writes the form of a scalar value; returns its end.
template <class Byte>
Byte* encode(Byte* out, char32_t c) {
    const std::size_t size = encoded_length(c);
    const auto cp = static_cast<std::uint32_t>(c);
    if (size == 1) {
        out[0] = static_cast<Byte>(cp);
        return out + 1;
    }
    // Lead byte: `size` high bits set, then a zero, then the top bits.
    constexpr std::uint8_t kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t i = size - 1; i > 0; --i)
        out[i] = static_cast<Byte>(0x80 | ((cp >> (6 * (size - 1 - i))) & 0x3F));
    out[0] = static_cast<Byte>(kLead[size] | (cp >> (6 * (size - 1))));
    return out + size;
}

// Appends the form of `c`, U+FFFD's where `c` is no scalar value.
void append(std::string& out, char32_t c);

// Bytes in the sequence that `lead` starts, 1 to 4; 0 for a byte that cannot
// start one (a continuation byte, an overlong two-byte lead, or a lead beyond
// U+10FFFF).
constexpr std::size_t sequence_length(std::uint8_t lead) {
    return lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
}

// Whether the `length` bytes at `seq`, whose lead announces that length,
// encode a scalar value. The second byte carries the checks against
// overlong forms, surrogates and values past U+10FFFF; every later byte is a
// plain continuation byte.
bool well_formed(const std::uint8_t* seq, std::size_t length);

// The code point of a well-formed sequence of `length` bytes.
constexpr char32_t value(const std::uint8_t* seq, std::size_t length) {
    constexpr std::uint32_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t cp = seq[0] & kLeadMask[length];
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (seq[i] & 0x3Fu);
    return static_cast<char32_t>(cp);
}

// Bytes in the well-formed sequence at `text[at]`, or 0 where none starts.
std::size_t valid_sequence(std::string_view text, std::size_t at);

// Whether `text` is well-formed UTF-8 throughout.
bool is_valid(std::string_view text);

// Whether every byte is below 0x80.
bool is_ascii(std::string_view text);

// The first code point of valid UTF-8 (as the interpreter hands it over), 0
// for an empty text.
char32_t first_code_point(std::string_view valid);

// Any bytes as code points: a byte that starts no well-formed sequence comes
// out as U+FFFD and decoding goes on at the next byte, so the core stays safe
// on any input. The view lives in `buffer`.
std::u32string_view decode(std::string_view text, CodePointBuffer& buffer);
std::u32string decode(std::string_view text);

}  // namespace quellnor::utf8
