#include "suggest/extras_codec.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "codec/compact.hpp"
#include "fault.hpp"
#include "suggest/completion_table.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

using namespace codec;

constexpr std::uint8_t kMagic[4] = {'Q', 'X', 'T', 1};
constexpr std::uint8_t kFolded = 1;
constexpr std::uint8_t kGivenIds = 2;

[[noreturn]] void fail(const std::string& what) { throw InputError("extras: " + what); }

class Writer {
public:
    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + size);
    }
    void integer(std::uint64_t value) {
        std::uint8_t form[9];
        const std::size_t size = compact_size(value);
        if (size == 1) {
            form[0] = static_cast<std::uint8_t>(value);
        } else if (size == 3) {
            form[0] = kMark16;
            store_le<2>(form + 1, value);
        } else if (size == 5) {
            form[0] = kMark32;
            store_le<4>(form + 1, value);
        } else {
            form[0] = kMark64;
            store_le<8>(form + 1, value);
        }
        bytes(form, size);
    }
    std::vector<std::uint8_t> done() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

    std::span<const std::uint8_t> take(std::uint64_t n, const char* what) {
        if (n > in_.size() - at_) fail(std::string("the bytes end inside ") + what);
        const auto piece = in_.subspan(at_, static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return piece;
    }
    std::uint64_t integer(const char* what) {
        const std::uint8_t first = take(1, what)[0];
        if (first <= kMaxInline) return first;
        std::uint64_t value = 0;
        switch (first) {
            case kMark16: value = load_le<2>(take(2, what).data()); break;
            case kMark32: value = load_le<4>(take(4, what).data()); break;
            case kMark64: value = load_le<8>(take(8, what).data()); break;
            default: fail(std::string("no integer form starts with byte ") + std::to_string(first));
        }
        if (compact_size(value) != 1 + (first == kMark16 ? 2 : first == kMark32 ? 4 : 8))
            fail(std::string("the integer of ") + what + " is not in its shortest form");
        return value;
    }
    std::uint32_t u32(const char* what) {
        const std::uint64_t value = integer(what);
        if (value > 0xFFFF'FFFFu) fail(std::string(what) + " does not fit 32 bits");
        return static_cast<std::uint32_t>(value);
    }
    // A count of entries that each take at least `smallest` bytes: no more
    // than the bytes left can hold, so that no count reserves in vain.
    std::size_t count(std::size_t smallest, const char* what) {
        const std::uint64_t n = integer(what);
        if (n > (in_.size() - at_) / smallest) fail(std::string("more ") + what + " than the bytes hold");
        return static_cast<std::size_t>(n);
    }
    bool at_end() const { return at_ == in_.size(); }

private:
    std::span<const std::uint8_t> in_;
    std::size_t at_ = 0;
};

// Nodes ascending, each once.
void check_ascending(std::uint32_t node, std::optional<std::uint32_t>& previous, const char* what) {
    if (previous && node <= *previous) fail(std::string(what) + " are not in ascending node order");
    previous = node;
}

// The caller's video ids: their kind, then each id's length and bytes.
void write_given_ids(Writer& out, const GivenVideoIds& ids) {
    const auto kind = static_cast<std::uint8_t>(ids.kind);
    out.bytes(&kind, 1);
    out.integer(ids.size());
    for (std::size_t v = 0; v < ids.size(); ++v) {
        const std::string_view id = ids.at(v);
        out.integer(id.size());
        out.bytes(id.data(), id.size());
    }
}

GivenVideoIds read_given_ids(Reader& in) {
    GivenVideoIds ids;
    ids.kind = static_cast<VideoIdKind>(in.take(1, "the kind of video ids")[0]);
    if (!ids.given()) fail("unknown kind of video ids");
    const std::size_t count = in.count(1, "video ids");
    for (std::size_t v = 0; v < count; ++v) {
        const auto bytes = in.take(in.integer("a video id's length"), "a video id");
        const std::string_view id(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (ids.kind == VideoIdKind::integer ? id.size() != 8 : !utf8::is_valid(id))
            fail("a video id that is not " + std::string(ids.kind == VideoIdKind::integer ? "8 bytes" : "UTF-8"));
        ids.push(id);
    }
    return ids;
}

}  // namespace

std::vector<std::uint8_t> encode_given_ids(const GivenVideoIds& ids) {
    Writer out;
    write_given_ids(out, ids);
    return out.done();
}

GivenVideoIds decode_given_ids(std::span<const std::uint8_t> bytes) {
    Reader in(bytes);
    GivenVideoIds ids = read_given_ids(in);
    if (!in.at_end()) fail("bytes follow the video ids");
    return ids;
}

std::vector<std::uint8_t> encode_extras(const Trie& trie, const TermIndex& terms) {
    Writer out;
    out.bytes(kMagic, sizeof kMagic);
    const std::uint8_t flags = (terms.folded ? kFolded : 0) | (terms.video_ids.given() ? kGivenIds : 0);
    out.bytes(&flags, 1);

    const CompletionTable& table = terms.table;
    std::vector<WeightOverride> overrides;
    if (table.unusable.empty()) {
        for (std::size_t node = 1; node < table.entry_of.size(); ++node) {
            const CompletionEntry* entry = table.entry(node);
            if (entry == nullptr || !entry->is_term()) continue;
            if (entry->weight != weight_from_totals(trie, node))
                overrides.push_back({static_cast<std::uint32_t>(node), entry->weight});
        }
    }
    out.integer(overrides.size());
    for (const WeightOverride& o : overrides) {
        out.integer(o.node);
        out.integer(o.weight);
    }

    out.integer(terms.spellings.size());
    for (std::size_t i = 0; i < terms.spellings.size(); ++i) {
        const auto [node, text] = terms.spellings.at(i);
        out.integer(node);
        out.integer(text.size());
        out.bytes(text.data(), text.size());
    }
    if (terms.video_ids.given()) write_given_ids(out, terms.video_ids);
    return out.done();
}

Extras decode_extras(std::span<const std::uint8_t> bytes) {
    Reader in(bytes);
    const auto magic = in.take(sizeof kMagic, "the header");
    if (!std::equal(magic.begin(), magic.end(), kMagic)) fail("not the extras of an index (wrong header or version)");
    Extras extras;
    const std::uint8_t flags = in.take(1, "the flags")[0];
    if ((flags & ~(kFolded | kGivenIds)) != 0) fail("unknown flags " + std::to_string(flags));
    extras.folded = (flags & kFolded) != 0;

    std::optional<std::uint32_t> previous;
    extras.overrides.resize(in.count(2, "weights"));
    for (WeightOverride& o : extras.overrides) {
        o.node = in.u32("a weight's node");
        check_ascending(o.node, previous, "weights");
        o.weight = in.u32("a weight");
    }

    previous.reset();
    extras.spellings.resize(in.count(3, "spellings"));
    for (Spellings::Entry& entry : extras.spellings) {
        entry.first = in.u32("a spelling's node");
        check_ascending(entry.first, previous, "spellings");
        const auto text = in.take(in.integer("a spelling's length"), "a spelling");
        entry.second = {reinterpret_cast<const char*>(text.data()), text.size()};
    }
    if ((flags & kGivenIds) != 0) extras.video_ids = read_given_ids(in);
    if (!in.at_end()) fail("bytes follow the extras");
    return extras;
}

}  // namespace quellnor
