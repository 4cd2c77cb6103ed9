#include "text/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace quellnor::utf8 {

void append(std::string& out, char32_t c) {
    char bytes[4];
    out.append(bytes, encode(bytes, scalar_or_replacement(c)));
}

bool well_formed(const std::uint8_t* seq, std::size_t length) {
    if (length == 1) return true;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    switch (seq[0]) {
        case 0xE0: low = 0xA0; break;
        case 0xED: high = 0x9F; break;
        case 0xF0: low = 0x90; break;
        case 0xF4: high = 0x8F; break;
        default: break;
    }
    if (seq[1] < low || seq[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i)
        if ((seq[i] & 0xC0) != 0x80) return false;
    return true;
}

std::size_t valid_sequence(std::string_view text, std::size_t at) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t length = sequence_length(bytes[at]);
    if (length == 0 || length > text.size() - at || !well_formed(bytes + at, length)) return 0;
    return length;
}

bool is_ascii(std::string_view text) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080'8080'8080'8080ull) return false;
    }
    for (; i < text.size(); ++i)
        if (static_cast<std::uint8_t>(text[i]) >= 0x80) return false;
    return true;
}

bool is_valid(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = valid_sequence(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

char32_t first_code_point(std::string_view valid) {
    if (valid.empty()) return 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(valid.data());
    return value(bytes, sequence_length(bytes[0]));
}

std::u32string_view decode(std::string_view text, CodePointBuffer& buffer) {
    // Never more code points than bytes.
    char32_t* const out = buffer.room(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t size = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out[size++] = lead;
            ++i;
            continue;
        }
        const std::size_t length = valid_sequence(text, i);
        if (length != 0) {
            out[size++] = value(bytes + i, length);
            i += length;
        } else {
            out[size++] = kReplacement;
            ++i;
        }
    }
    return {out, size};
}

std::u32string decode(std::string_view text) {
    CodePointBuffer buffer;
    return std::u32string(decode(text, buffer));
}

}  // namespace quellnor::utf8
