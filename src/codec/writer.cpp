// The writer of the byte form: its exact size first, then the bytes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/codec.hpp"
#include "codec/compact.hpp"
#include "progress.hpp"
#include "text/utf8.hpp"

namespace quellnor {

using namespace codec;

namespace {

// Labels only ever come from validated text, so anything that is not a
// scalar value here means the Trie was corrupted in memory; writing it would
// produce bytes that no decoder accepts.
char32_t checked_label(char32_t c) {
    if (!utf8::is_scalar_value(c)) [[unlikely]]
        throw Fault(c > 0x10'FFFF ? "label is beyond the last code point"
                                  : "label is a surrogate code point");
    return c;
}

std::size_t label_size(char32_t c) { return utf8::encoded_length(checked_label(c)); }

// Counted in blocks small enough for 32-bit counters, which halves the
// width of the vectorised sum.
std::size_t u32s_size(std::span<const std::uint32_t> values) {
    constexpr std::size_t kBlock = std::size_t{1} << 24;
    std::size_t total = values.size();
    Progress progress;
    for (std::size_t begin = 0; begin < values.size(); begin += kBlock) {
        progress.advance(kBlock);
        std::uint32_t wider = 0;
        for (const std::uint32_t v : values.subspan(begin, std::min(kBlock, values.size() - begin)))
            wider += (v > kMaxInline) + (v > 0xFFFF);
        total += 2 * std::size_t{wider};
    }
    return total;
}

std::size_t u32_array_size(std::span<const std::uint32_t> values) {
    return compact_size(values.size()) + u32s_size(values);
}

std::size_t labels_size(std::span<const char32_t> labels) {
    std::size_t total = compact_size(labels.size());
    for (const char32_t c : labels) total += c < 0x80 ? 1 : label_size(c);
    return total;
}

// The table keeps every list in one pool in node order, so the values are
// summed in one pass over the pool and only the framing node by node.
std::size_t payloads_size(const PayloadTable& payloads) {
    std::size_t total = compact_size(payloads.size()) + u32s_size(payloads.values());
    Progress progress;
    for (std::size_t n = 0; n < payloads.size(); ++n) {
        progress.advance();
        const std::optional<PayloadView> payload = payloads[n];
        total += 1;
        if (payload)
            total += compact_size(payload->total_count) +
                     compact_size(payload->video_ids.size()) +
                     compact_size(payload->video_counts.size());
    }
    return total;
}

// Single values (lengths, totals) take branches; whole lists go through
// put_u32s below.
std::uint8_t* put_compact(std::uint8_t* p, std::uint64_t value) {
    if (value <= kMaxInline) {
        *p = static_cast<std::uint8_t>(value);
        return p + 1;
    }
    if (value <= 0xFFFF) {
        p[0] = kMark16;
        store_le<2>(p + 1, value);
        return p + 3;
    }
    if (value <= 0xFFFF'FFFF) {
        p[0] = kMark32;
        store_le<4>(p + 1, value);
        return p + 5;
    }
    p[0] = kMark64;
    store_le<8>(p + 1, value);
    return p + 9;
}

// Needs room for five bytes per value: each value is written as its form's
// first byte and four value bytes, and the cursor moves on by the form's
// length only, so the next value overwrites what was not part of this one.
// Without branches: the forms of ids alternate unpredictably.
std::uint8_t* put_u32s(std::uint8_t* p, std::span<const std::uint32_t> values) {
    for (const std::uint32_t v : values) {
        const bool wide = v > kMaxInline;
        const bool wider = v > 0xFFFF;
        const std::uint8_t marker = wider ? kMark32 : kMark16;
        p[0] = wide ? marker : static_cast<std::uint8_t>(v);
        store_le<4>(p + 1, v);
        p += 1 + 2 * wide + 2 * wider;
    }
    return p;
}

// ---------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(std::span<std::uint8_t> out)
        : pos_(out.data()), end_(out.data() + out.size()) {}

    bool at_end() const { return pos_ == end_; }

    void compact(std::uint64_t value) { put_compact(claim(compact_size(value)), value); }

    // Sizes are bounded by what a vector can hold, so the worst cases below
    // cannot wrap around.
    void u32_array(std::span<const std::uint32_t> values) {
        compact(values.size());
        for (std::size_t begin = 0; begin < values.size(); begin += kChunk) {
            const auto chunk = values.subspan(begin, std::min(kChunk, values.size() - begin));
            progress_.advance(chunk.size());
            if (fits(kMaxU32Size * chunk.size())) {
                pos_ = put_u32s(pos_, chunk);
                continue;
            }
            for (std::uint32_t v : chunk) compact(v);
        }
    }

    void labels(std::span<const char32_t> labels) {
        compact(labels.size());
        if (fits(4 * labels.size())) {
            for (const char32_t c : labels) {
                if (c < 0x80)
                    *pos_++ = static_cast<std::uint8_t>(c);
                else
                    pos_ = utf8::encode(pos_, checked_label(c));
            }
            return;
        }
        for (const char32_t c : labels) pos_ = utf8::encode(claim(label_size(c)), c);
    }

    void payload(const std::optional<PayloadView>& payload) {
        progress_.advance(payload ? 1 + payload->video_ids.size() : 1);
        if (!payload) {
            *claim(1) = 0;
            return;
        }
        const std::size_t values = payload->video_ids.size() + payload->video_counts.size();
        if (fits(1 + kMaxU32Size + 2 * kMaxLengthSize + kMaxU32Size * values)) {
            std::uint8_t* p = pos_;
            *p++ = 1;
            p = put_compact(p, payload->total_count);
            p = put_compact(p, payload->video_ids.size());
            p = put_u32s(p, payload->video_ids);
            p = put_compact(p, payload->video_counts.size());
            pos_ = put_u32s(p, payload->video_counts);
            return;
        }
        *claim(1) = 1;
        compact(payload->total_count);
        for (const auto list : {payload->video_ids, payload->video_counts}) {
            compact(list.size());
            for (std::uint32_t v : list) compact(v);
        }
    }

    void keys(std::span<const VideoKey> keys) {
        static_assert(sizeof(VideoKey) == kKeySize);
        compact(keys.size());
        const std::size_t size = keys.size() * kKeySize;
        if (size > 0) std::memcpy(claim(size), keys.data(), size);
    }

    void booleans(std::span<const std::uint8_t> flags) {
        compact(flags.size());
        std::uint8_t* p = claim(flags.size());
        for (std::size_t i = 0; i < flags.size(); ++i) p[i] = flags[i] != 0 ? 1 : 0;
    }

private:
    bool fits(std::size_t n) const { return n <= static_cast<std::size_t>(end_ - pos_); }

    // A buffer of the wrong size is the caller's bug: stop before writing
    // past its end rather than trust the precondition.
    std::uint8_t* claim(std::size_t n) {
        if (!fits(n)) [[unlikely]]
            throw Fault("encode buffer smaller than the encoded size");
        std::uint8_t* start = pos_;
        pos_ += n;
        return start;
    }

    // Values of an array written between two counts of progress.
    static constexpr std::size_t kChunk = std::size_t{1} << 16;

    std::uint8_t* pos_;
    std::uint8_t* end_;
    Progress progress_;
};

}  // namespace

std::size_t encoded_size(const Trie& trie) {
    return u32_array_size(trie.node_shifts) + labels_size(trie.child_labels) +
           u32_array_size(trie.child_transitions) + payloads_size(trie.payloads) +
           compact_size(trie.video_index.size()) + trie.video_index.size() * kKeySize +
           compact_size(trie.is_terminal.size()) + trie.is_terminal.size();
}

void encode_into(const Trie& trie, std::span<std::uint8_t> out) {
    Writer w(out);
    w.u32_array(trie.node_shifts);
    w.labels(trie.child_labels);
    w.u32_array(trie.child_transitions);
    w.compact(trie.payloads.size());
    for (std::size_t n = 0; n < trie.payloads.size(); ++n) w.payload(trie.payloads[n]);
    w.keys(trie.video_index);
    w.booleans(trie.is_terminal);
    if (!w.at_end()) throw Fault("encode buffer larger than the encoded size");
}

}  // namespace quellnor
