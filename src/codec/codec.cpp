#include "codec.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace quellnor {
namespace {

// Compact integers: a first byte up to kMaxInline is the value itself; the
// markers above it announce a little-endian value of 2, 4 or 8 bytes. The
// 128-bit marker and 0xFF are never written and rejected on reading.
constexpr std::uint8_t kMaxInline = 250;
constexpr std::uint8_t kMark16 = 0xFB;
constexpr std::uint8_t kMark32 = 0xFC;
constexpr std::uint8_t kMark64 = 0xFD;
constexpr std::uint8_t kMark128 = 0xFE;

constexpr std::size_t kKeySize = std::tuple_size_v<VideoKey>;

constexpr std::size_t compact_size(std::uint64_t value) {
    if (value <= kMaxInline) return 1;
    if (value <= 0xFFFF) return 3;
    if (value <= 0xFFFF'FFFF) return 5;
    return 9;
}

// Labels only ever come from validated text, so anything that is not a
// scalar value here means the Trie was corrupted in memory; writing it would
// produce bytes that no decoder accepts.
std::size_t utf8_size(char32_t c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c >= 0xD800 && c <= 0xDFFF) throw Fault("label is a surrogate code point");
    if (c < 0x1'0000) return 3;
    if (c > 0x10'FFFF) throw Fault("label is beyond the last code point");
    return 4;
}

template <class T, class SizeOf>
std::size_t array_size(const std::vector<T>& items, SizeOf size_of) {
    std::size_t total = compact_size(items.size());
    for (const T& item : items) total += size_of(item);
    return total;
}

std::size_t u32_array_size(std::span<const std::uint32_t> values) {
    std::size_t total = compact_size(values.size());
    for (const std::uint32_t v : values) total += compact_size(v);
    return total;
}

std::size_t payload_size(const std::optional<PayloadView>& payload) {
    if (!payload) return 1;
    return 1 + compact_size(payload->total_count) + u32_array_size(payload->video_ids) +
           u32_array_size(payload->video_counts);
}

std::size_t payloads_size(const PayloadTable& payloads) {
    std::size_t total = compact_size(payloads.size());
    for (std::size_t n = 0; n < payloads.size(); ++n) total += payload_size(payloads[n]);
    return total;
}

// ---------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(std::span<std::uint8_t> out)
        : pos_(out.data()), end_(out.data() + out.size()) {}

    bool at_end() const { return pos_ == end_; }

    void compact(std::uint64_t value) {
        if (value <= kMaxInline) {
            *claim(1) = static_cast<std::uint8_t>(value);
        } else if (value <= 0xFFFF) {
            marked<2>(kMark16, value);
        } else if (value <= 0xFFFF'FFFF) {
            marked<4>(kMark32, value);
        } else {
            marked<8>(kMark64, value);
        }
    }

    void u32_array(std::span<const std::uint32_t> values) {
        compact(values.size());
        for (std::uint32_t v : values) compact(v);
    }

    void label(char32_t c) {
        const std::size_t size = utf8_size(c);
        std::uint8_t* p = claim(size);
        const auto cp = static_cast<std::uint32_t>(c);
        if (size == 1) {
            p[0] = static_cast<std::uint8_t>(cp);
            return;
        }
        // Lead byte: `size` high bits set, then a zero, then the top bits.
        static constexpr std::uint8_t kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (std::size_t i = size - 1; i > 0; --i) {
            p[i] = static_cast<std::uint8_t>(0x80 | ((cp >> (6 * (size - 1 - i))) & 0x3F));
        }
        p[0] = static_cast<std::uint8_t>(kLead[size] | (cp >> (6 * (size - 1))));
    }

    void payload(const std::optional<PayloadView>& payload) {
        if (!payload) {
            *claim(1) = 0;
            return;
        }
        *claim(1) = 1;
        compact(payload->total_count);
        u32_array(payload->video_ids);
        u32_array(payload->video_counts);
    }

    void key(const VideoKey& key) { std::memcpy(claim(kKeySize), key.data(), kKeySize); }

    void byte(std::uint8_t value) { *claim(1) = value; }

private:
    // A buffer of the wrong size is the caller's bug: stop before writing
    // past its end rather than trust the precondition.
    std::uint8_t* claim(std::size_t n) {
        if (n > static_cast<std::size_t>(end_ - pos_)) [[unlikely]]
            throw Fault("encode buffer smaller than the encoded size");
        std::uint8_t* start = pos_;
        pos_ += n;
        return start;
    }

    template <std::size_t N>
    void marked(std::uint8_t marker, std::uint64_t value) {
        std::uint8_t* p = claim(1 + N);
        p[0] = marker;
        for (std::size_t i = 0; i < N; ++i) p[1 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    std::uint8_t* pos_;
    std::uint8_t* end_;
};

// ---------------------------------------------------------------------------

[[noreturn, gnu::cold, gnu::noinline]] void fail(const std::string& description) {
    throw InputError("decode error: " + description);
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_unexpected_end(std::size_t additional) {
    fail("UnexpectedEnd { additional: " + std::to_string(additional) + " }");
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_integer_type(const char* expected,
                                                              std::uint8_t marker) {
    const char* found = marker == kMark64 ? "U64" : marker == kMark128 ? "U128" : "Reserved";
    fail(std::string("InvalidIntegerType { expected: ") + expected + ", found: " + found + " }");
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_char_encoding(
    const std::array<std::uint8_t, 4>& seq) {
    fail("InvalidCharEncoding([" + std::to_string(seq[0]) + ", " + std::to_string(seq[1]) + ", " +
         std::to_string(seq[2]) + ", " + std::to_string(seq[3]) + "])");
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_payload_tag(std::uint8_t tag) {
    fail("UnexpectedVariant { type_name: \"Option<Payload>\", allowed: Range { min: 0, max: 1 }, "
         "found: " +
         std::to_string(tag) + " }");
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_boolean(std::uint8_t value) {
    fail("InvalidBooleanValue(" + std::to_string(value) + ")");
}

// Continuation bytes that a UTF-8 lead byte announces; -1 for a byte that
// cannot start a sequence (a continuation byte, an overlong two-byte lead, or
// a lead beyond U+10FFFF).
int utf8_trail_count(std::uint8_t lead) {
    if (lead < 0x80) return 0;
    if (lead < 0xC2) return -1;
    if (lead < 0xE0) return 1;
    if (lead < 0xF0) return 2;
    if (lead < 0xF5) return 3;
    return -1;
}

// The second byte carries the checks against overlong forms, surrogates and
// values past U+10FFFF; every later byte is a plain continuation byte.
bool valid_utf8(const std::array<std::uint8_t, 4>& seq, int trail) {
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
    for (int i = 2; i <= trail; ++i) {
        if ((seq[i] & 0xC0) != 0x80) return false;
    }
    return true;
}

char32_t utf8_value(const std::array<std::uint8_t, 4>& seq, int trail) {
    static constexpr std::uint32_t kLeadMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t cp = seq[0] & kLeadMask[trail];
    for (int i = 1; i <= trail; ++i) cp = (cp << 6) | (seq[i] & 0x3Fu);
    return static_cast<char32_t>(cp);
}

// Reads the index front to back straight from the caller's buffer. Every
// read checks the remaining length itself, so a truncated input reports how
// many bytes the piece being read still lacks.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in)
        : pos_(in.data()), end_(in.data() + in.size()) {}

    Trie trie() {
        Trie t;
        t.node_shifts = array<std::uint32_t>(1, [this] { return u32(); });
        t.child_labels = array<char32_t>(1, [this] { return scalar(); });
        t.child_transitions = array<std::uint32_t>(1, [this] { return u32(); });
        payloads(t.payloads);
        t.video_index = array<VideoKey>(kKeySize, [this] { return key(); });
        t.is_terminal = array<std::uint8_t>(1, [this] { return boolean(); });
        return t;
    }

private:
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }

    const std::uint8_t* take(std::size_t n) {
        if (n > remaining()) [[unlikely]]
            fail_unexpected_end(n - remaining());
        const std::uint8_t* start = pos_;
        pos_ += n;
        return start;
    }

    std::uint8_t byte() {
        if (pos_ == end_) [[unlikely]]
            fail_unexpected_end(1);
        return *pos_++;
    }

    template <std::size_t N>
    static std::uint64_t load_le(const std::uint8_t* p) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < N; ++i) value |= std::uint64_t{p[i]} << (8 * i);
        return value;
    }

    template <std::size_t N>
    std::uint64_t fixed_le() {
        return load_le<N>(take(N));
    }

    [[gnu::always_inline]] std::uint32_t u32() {
        if (pos_ != end_) [[likely]] {
            const std::uint8_t first = *pos_;
            if (first <= kMaxInline) {
                ++pos_;
                return first;
            }
            // Node identifiers of any sizeable index take the 4-byte form.
            if (first == kMark32 && remaining() > 4) {
                const std::uint8_t* p = pos_ + 1;
                pos_ += 5;
                return static_cast<std::uint32_t>(load_le<4>(p));
            }
        }
        return u32_slow();
    }

    [[gnu::noinline]] std::uint32_t u32_slow() {
        const std::uint8_t first = byte();
        if (first <= kMaxInline) return first;
        switch (first) {
            case kMark16: return static_cast<std::uint32_t>(fixed_le<2>());
            case kMark32: return static_cast<std::uint32_t>(fixed_le<4>());
            default: fail_integer_type("U32", first);
        }
    }

    // Lengths may use the 64-bit form; the value is kept at full width so that
    // no length, however corrupt, can wrap around.
    std::uint64_t length() {
        const std::uint8_t first = byte();
        if (first <= kMaxInline) return first;
        switch (first) {
            case kMark16: return fixed_le<2>();
            case kMark32: return fixed_le<4>();
            case kMark64: return fixed_le<8>();
            default: fail_integer_type("U64", first);
        }
    }

    [[gnu::always_inline]] char32_t scalar() {
        if (pos_ != end_ && *pos_ < 0x80) [[likely]]
            return *pos_++;
        return scalar_slow();
    }

    [[gnu::noinline]] char32_t scalar_slow() {
        std::array<std::uint8_t, 4> seq{byte(), 0, 0, 0};
        const int trail = utf8_trail_count(seq[0]);
        if (trail < 0) fail_char_encoding(seq);
        // The whole sequence is read before it is judged, so a truncated
        // sequence is an early end even when its bytes so far are invalid.
        const std::uint8_t* rest = take(static_cast<std::size_t>(trail));
        std::memcpy(seq.data() + 1, rest, static_cast<std::size_t>(trail));
        if (!valid_utf8(seq, trail)) fail_char_encoding(seq);
        return utf8_value(seq, trail);
    }

    // Payloads go straight into the table's flat arrays, with the same
    // bounded reservations as any other array.
    void payloads(PayloadTable& table) {
        const std::uint64_t declared = length();
        table.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, remaining())), 0);
        for (std::uint64_t i = 0; i < declared; ++i) {
            const std::uint8_t tag = byte();
            if (tag == 0) {
                table.push_absent();
                continue;
            }
            if (tag != 1) fail_payload_tag(tag);
            table.open(u32());
            values_into(table);
            table.close_ids();
            values_into(table);
            table.close_counts();
        }
    }

    // No reservation per list: the pool grows geometrically across all of
    // them, where reserving each list's length exactly would copy it every time.
    void values_into(PayloadTable& table) {
        const std::uint64_t declared = length();
        for (std::uint64_t i = 0; i < declared; ++i) table.append(u32());
    }

    VideoKey key() {
        VideoKey k;
        std::memcpy(k.data(), take(kKeySize), kKeySize);
        return k;
    }

    std::uint8_t boolean() {
        const std::uint8_t value = byte();
        if (value > 1) fail_boolean(value);
        return value;
    }

    // The declared length is trusted only as far as the rest of the input can
    // back it: every element takes at least `min_element_size` bytes, so the
    // up-front reservation never exceeds what the input could fill, and a
    // longer declaration simply runs into the end of the input.
    template <class T, class ReadOne>
    std::vector<T> array(std::size_t min_element_size, ReadOne read_one) {
        const std::uint64_t declared = length();
        const std::uint64_t backed = remaining() / min_element_size;
        std::vector<T> items;
        items.reserve(static_cast<std::size_t>(std::min(declared, backed)));
        for (std::uint64_t i = 0; i < declared; ++i) items.push_back(read_one());
        return items;
    }

    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

}  // namespace

std::size_t encoded_size(const Trie& trie) {
    return u32_array_size(trie.node_shifts) + array_size(trie.child_labels, utf8_size) +
           u32_array_size(trie.child_transitions) + payloads_size(trie.payloads) +
           compact_size(trie.video_index.size()) + trie.video_index.size() * kKeySize +
           compact_size(trie.is_terminal.size()) + trie.is_terminal.size();
}

void encode_into(const Trie& trie, std::span<std::uint8_t> out) {
    Writer w(out);
    w.u32_array(trie.node_shifts);
    w.compact(trie.child_labels.size());
    for (char32_t c : trie.child_labels) w.label(c);
    w.u32_array(trie.child_transitions);
    w.compact(trie.payloads.size());
    for (std::size_t n = 0; n < trie.payloads.size(); ++n) w.payload(trie.payloads[n]);
    w.compact(trie.video_index.size());
    for (const VideoKey& k : trie.video_index) w.key(k);
    w.compact(trie.is_terminal.size());
    for (std::uint8_t t : trie.is_terminal) w.byte(t != 0 ? 1 : 0);
    if (!w.at_end()) throw Fault("encode buffer larger than the encoded size");
}

Trie decode(std::span<const std::uint8_t> bytes) { return Reader(bytes).trie(); }

}  // namespace quellnor
