// The reader of the byte form.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/codec.hpp"
#include "codec/compact.hpp"
#include "progress.hpp"
#include "text/utf8.hpp"

namespace quellnor {

using namespace codec;

namespace {

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

// Reads the index front to back straight from the caller's buffer. Every
// read is checked against the remaining length, once for a whole list when
// the list surely fits, so a truncated input reports how many bytes the
// piece being read still lacks.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in)
        : pos_(in.data()), end_(in.data() + in.size()) {}

    Trie trie() {
        Trie t;
        t.node_shifts = array<std::uint32_t>(1, &Reader::u32s);
        t.child_labels = array<char32_t>(1, &Reader::scalars);
        t.child_transitions = array<std::uint32_t>(1, &Reader::u32s);
        payloads(t.payloads);
        t.video_index = array<VideoKey>(kKeySize, &Reader::keys);
        t.is_terminal = array<std::uint8_t>(1, &Reader::booleans);
        t.note_layout();
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
    std::uint64_t fixed_le() {
        return load_le<N>(take(N));
    }

    [[gnu::always_inline]] std::uint32_t u32() {
        if (remaining() >= kMaxU32Size) [[likely]]
            return u32_unchecked();
        return u32_slow();
    }

    // Needs five readable bytes, enough for any form. Branches rather than
    // selects: the form rarely changes from one value to the next within a
    // list, and a predicted branch keeps the next read from waiting on this
    // one's first byte.
    [[gnu::always_inline]] std::uint32_t u32_unchecked() {
        const std::uint8_t first = *pos_;
        if (first <= kMaxInline) [[likely]] {
            ++pos_;
            return first;
        }
        const std::uint8_t* p = pos_ + 1;
        if (first == kMark16) {
            pos_ += 3;
            return static_cast<std::uint32_t>(load_le<2>(p));
        }
        if (first == kMark32) {
            pos_ += 5;
            return static_cast<std::uint32_t>(load_le<4>(p));
        }
        return u32_slow();
    }

    // A list that surely fits is read without checking the end value by value.
    void u32s(std::uint32_t* out, std::size_t n) {
        std::size_t i = 0;
        if (n <= remaining() / kMaxU32Size) {
            for (; i < n; ++i) out[i] = u32_unchecked();
        }
        for (; i < n; ++i) out[i] = u32();
    }

    // A payload list, into room that may be written up to 15 values past
    // its end. Most values of a list take one byte, in runs: while 16 bytes
    // are left, each step widens the next 16 at once, keeps those before the
    // first wider form, and reads that one alone. What is left is read as
    // any other list.
    void u32_list(std::uint32_t* out, std::size_t n) {
        std::size_t i = 0;
#if defined(__SSE2__)
        while (i < n && remaining() >= 16) {
            const std::size_t run = std::min(one_byte_run(out + i), n - i);
            pos_ += run;
            i += run;
            if (run < 16 && i < n) out[i++] = u32();
        }
#endif
        u32s(out + i, n - i);
    }

#if defined(__SSE2__)
    // Writes the next 16 bytes, widened, to out[0..16); returns how many of
    // them lead as one-byte values.
    std::size_t one_byte_run(std::uint32_t* out) const {
        const __m128i zero = _mm_setzero_si128();
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pos_));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        auto* to = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
        // Bytes compare signed: shifted by 0x80, "above kMaxInline" is a
        // signed comparison.
        const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
        const __m128i max_inline = _mm_set1_epi8(static_cast<char>(kMaxInline ^ 0x80));
        const auto wide = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpgt_epi8(_mm_xor_si128(bytes, flip), max_inline)));
        return static_cast<std::size_t>(std::countr_zero(wide | 0x1'0000u));
    }
#endif

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

    void scalars(char32_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = scalar();
    }

    [[gnu::noinline]] char32_t scalar_slow() {
        std::array<std::uint8_t, 4> seq{byte(), 0, 0, 0};
        const std::size_t length = utf8::sequence_length(seq[0]);
        if (length == 0) fail_char_encoding(seq);
        // The whole sequence is read before it is judged, so a truncated
        // sequence is an early end even when its bytes so far are invalid.
        std::memcpy(seq.data() + 1, take(length - 1), length - 1);
        if (!utf8::well_formed(seq.data(), length)) fail_char_encoding(seq);
        return utf8::value(seq.data(), length);
    }

    // Payloads go straight into the table's flat arrays. Every payload takes
    // at least one byte and every value too, so the input left bounds both
    // the nodes and each list. The pool starts at two values for every three
    // bytes left: with most values in one byte and the rest in three, that
    // holds the lists of a typical index without the copy and the fresh
    // memory of a regrowth, and overshoots less than doubling would.
    void payloads(PayloadTable& table) {
        const std::uint64_t declared = length();
        PayloadTable::Filler fill(table, backed(declared, 1), remaining() / 3 * 2);
        for (std::uint64_t i = 0; i < declared; ++i) {
            progress_.advance();
            const std::uint8_t tag = byte();
            if (tag == 0) {
                fill.absent();
                continue;
            }
            if (tag != 1) fail_payload_tag(tag);
            fill.open(u32());
            list_into([&](std::size_t n) { return fill.ids(n); });
            list_into([&](std::size_t n) { return fill.counts(n); });
            fill.close();
        }
    }

    template <class Room>
    void list_into(Room room) {
        const std::uint64_t declared = length();
        const std::size_t n = backed(declared, 1);
        progress_.advance(n);
        u32_list(room(n), n);
        if (declared > n) u32();  // the input is used up: reports the early end
    }

    void keys(VideoKey* out, std::size_t n) {
        if (n > 0) std::memcpy(out, take(n * kKeySize), n * kKeySize);
    }

    // Judged all at once, then the first value out of range is reported.
    void booleans(std::uint8_t* out, std::size_t n) {
        const std::uint8_t* in = take(n);
        std::uint8_t seen = 0;
        for (std::size_t i = 0; i < n; ++i) seen |= in[i];
        if (seen > 1) fail_boolean(*std::find_if(in, in + n, [](std::uint8_t v) { return v > 1; }));
        if (n > 0) std::memcpy(out, in, n);
    }

    // How many of `declared` elements of at least `min_element_size` bytes
    // the rest of the input can hold.
    std::size_t backed(std::uint64_t declared, std::size_t min_element_size) const {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(declared, remaining() / min_element_size));
    }

    // The declared length is trusted only as far as the rest of the input can
    // back it, so the array is never sized beyond what the input could fill.
    // A longer declaration runs into the end of the input: once the backed
    // elements are read, too little is left for one more, and reading it
    // reports by how much.
    template <class T>
    std::vector<T> array(std::size_t min_element_size, void (Reader::*read_many)(T*, std::size_t)) {
        const std::uint64_t declared = length();
        const std::size_t n = backed(declared, min_element_size);
        std::vector<T> items(n);
        for (std::size_t done = 0; done < n;) {
            const std::size_t chunk = std::min(n - done, kChunk);
            (this->*read_many)(items.data() + done, chunk);
            done += chunk;
            progress_.advance(chunk);
        }
        if (declared > n) {
            T extra;
            (this->*read_many)(&extra, 1);
        }
        return items;
    }

    // Elements of an array read between two counts of progress.
    static constexpr std::size_t kChunk = std::size_t{1} << 16;

    const std::uint8_t* pos_;
    const std::uint8_t* end_;
    Progress progress_;
};

}  // namespace

Trie decode(std::span<const std::uint8_t> bytes) { return Reader(bytes).trie(); }

}  // namespace quellnor
