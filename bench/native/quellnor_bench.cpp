// Native benchmark of the quellnor core, with no interpreter in the way.
//
//   quellnor_bench INDEX RAW_PAYLOADS TERMS PREFIXES REPEAT VIDEO_TOP_N
//
// INDEX is an index in its byte form (what to_bytes writes). RAW_PAYLOADS
// holds the payloads as the caller supplied them before propagation (format
// below), so that construction can be re-run from the same arrays. TERMS and
// PREFIXES hold one UTF-8 query per line: TERMS feed fuzzy_match at distances
// 0, 1 and 2, PREFIXES feed fuzzy_match_video at distance 1 with the automatic
// choice of nodes. Phases other than queries run REPEAT times.
//
// Prints one JSON object with raw samples in nanoseconds; bench/run.py turns
// them into medians and percentiles.
//
// RAW_PAYLOADS: little-endian unsigned 32-bit words. The node count, then per
// node a flag (0 absent, 1 present) and, when present, the total, the number
// of videos k, k video ids and k counts.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/codec.hpp"
#include "search/matcher.hpp"
#include "trie/build.hpp"
#include "trie/trie.hpp"
#include "search/ranking.hpp"
#include "text/utf8.hpp"

namespace {

using namespace quellnor;
using Clock = std::chrono::steady_clock;
using Samples = std::vector<std::int64_t>;
using RawPayloads = std::vector<std::optional<Payload>>;

constexpr std::uint32_t kMaxDistance = 2;
constexpr std::uint32_t kVideoDistance = 1;
constexpr std::size_t kWarmupQueries = 200;

// Keeps the optimiser from discarding a result that is only timed.
template <class T>
void keep(const T& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

template <class F>
std::int64_t time_ns(F&& body) {
    const auto start = Clock::now();
    body();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Bytes the heap has handed out, by glibc's own accounting (malloc's per-block
// overhead included, mmap'ed blocks included).
std::int64_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

// --- input files -------------------------------------------------------------

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class WordReader {
public:
    explicit WordReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint32_t next() {
        if (at_ + 4 > bytes_.size()) throw std::runtime_error("raw payload file is truncated");
        std::uint32_t word = 0;
        for (int k = 3; k >= 0; --k) word = (word << 8) | bytes_[at_ + static_cast<std::size_t>(k)];
        at_ += 4;
        return word;
    }

    std::vector<std::uint32_t> next_words(std::size_t count) {
        std::vector<std::uint32_t> words(count);
        for (std::uint32_t& word : words) word = next();
        return words;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

RawPayloads parse_raw_payloads(std::span<const std::uint8_t> bytes) {
    WordReader reader(bytes);
    RawPayloads payloads(reader.next());
    for (std::optional<Payload>& slot : payloads) {
        if (reader.next() == 0) continue;
        Payload& payload = slot.emplace();
        payload.total_count = reader.next();
        const std::size_t videos = reader.next();
        payload.video_ids = reader.next_words(videos);
        payload.video_counts = reader.next_words(videos);
    }
    return payloads;
}

// --- construction --------------------------------------------------------------

// Hands the builder ready-made payloads, so that timing build_trie leaves out
// the conversion from interpreter objects.
class MovedPayloads final : public PayloadSource {
public:
    explicit MovedPayloads(RawPayloads payloads) : payloads_(std::move(payloads)) {}
    std::size_t size() const override { return payloads_.size(); }
    bool present(std::size_t node) const override { return payloads_[node].has_value(); }
    PayloadView convert(std::size_t node) override { return payloads_[node]->view(); }

private:
    RawPayloads payloads_;
};

// Everything build_trie consumes, made before the clock starts.
struct BuildInputs {
    std::vector<std::uint32_t> node_shifts;
    std::vector<char32_t> child_labels;
    std::vector<std::uint32_t> child_transitions;
    std::vector<VideoKeyInput> video_index;
    MovedPayloads payloads;
};

BuildInputs build_inputs(const Trie& structure, const RawPayloads& raw) {
    std::vector<VideoKeyInput> keys;
    keys.reserve(structure.video_index.size());
    for (const VideoKey& key : structure.video_index) keys.push_back({key, key.size()});
    return {structure.node_shifts.to_vector(), structure.child_labels.to_vector(),
            structure.child_transitions.to_vector(), std::move(keys), MovedPayloads(raw)};
}

Trie build(BuildInputs inputs, std::uint64_t video_top_n) {
    return build_trie(std::move(inputs.node_shifts), std::move(inputs.child_labels), inputs.payloads,
                      std::move(inputs.child_transitions), inputs.video_index, video_top_n);
}

// Installs the supplied payloads in the payload storage of the Trie, whichever
// of the core's two layouts (a table, or one optional per node) it uses.
template <class Storage>
void install_payloads(Storage& storage, const RawPayloads& raw) {
    if constexpr (requires(Storage& s, const Payload& p) {
                      s.push(p.view());
                      s.push_absent();
                  }) {
        storage = Storage{};
        for (const std::optional<Payload>& payload : raw) {
            if (payload)
                storage.push(payload->view());
            else
                storage.push_absent();
        }
    } else {
        storage.assign(raw.begin(), raw.end());
    }
}

// The Trie as it stands right before propagation.
Trie unpropagated(const Trie& structure, const RawPayloads& raw) {
    Trie trie = structure;
    install_payloads(trie.payloads, raw);
    return trie;
}

// --- the yardstick ---------------------------------------------------------------

// The term matcher exactly as the textbook has it: a recursive walk, one full
// row of 16-bit cells per depth, all (n + max_dist + 2) x (n + 1) cells
// allocated up front, plain indexing. It counts the rows it computes, which is
// the number of nodes the walk visits: the core's walks enter the same nodes.
class LiteralWalk {
public:
    LiteralWalk(const Trie& trie, std::u32string_view query, std::uint32_t max_dist)
        : trie_(trie),
          query_(query),
          max_dist_(max_dist),
          width_(query.size() + 1),
          rows_((query.size() + max_dist + 2) * width_, 0) {
        for (std::size_t j = 0; j < width_; ++j) rows_[j] = static_cast<std::uint16_t>(j);
    }

    std::vector<MatchResult> run() {
        if (!trie_.node_shifts.empty()) dfs(0, 0);
        return std::move(out_);
    }

    std::uint64_t rows_computed() const { return rows_computed_; }

private:
    void dfs(std::size_t v, std::size_t d) {
        const std::size_t begin = trie_.node_shifts[v];
        const std::size_t end = v + 1 < trie_.node_shifts.size() ? trie_.node_shifts[v + 1]
                                                                 : trie_.child_transitions.size();
        const std::uint16_t* prev = &rows_[d * width_];
        std::uint16_t* cur = &rows_[(d + 1) * width_];
        for (std::size_t s = begin; s < end; ++s) {
            const std::size_t c = trie_.child_transitions[s];
            const char32_t label = trie_.child_labels[c];
            if (label == U'\0') continue;
            ++rows_computed_;
            cur[0] = static_cast<std::uint16_t>(d + 1);
            std::uint16_t best = cur[0];
            for (std::size_t j = 1; j < width_; ++j) {
                const auto cost = static_cast<std::uint16_t>(query_[j - 1] == label ? 0 : 1);
                cur[j] = std::min({static_cast<std::uint16_t>(prev[j - 1] + cost),
                                   static_cast<std::uint16_t>(prev[j] + 1),
                                   static_cast<std::uint16_t>(cur[j - 1] + 1)});
                best = std::min(best, cur[j]);
            }
            if (best > max_dist_) continue;
            const std::uint16_t distance = cur[width_ - 1];
            if (distance <= max_dist_ && trie_.is_terminal[c]) {
                std::string term;
                for (const char32_t p : path_) utf8::append(term, p);
                utf8::append(term, label);
                out_.push_back({std::move(term), c, distance});
            }
            path_.push_back(label);
            dfs(c, d + 1);
            path_.pop_back();
        }
    }

    const Trie& trie_;
    std::u32string_view query_;
    std::uint32_t max_dist_;
    std::size_t width_;
    std::vector<std::uint16_t> rows_;
    std::u32string path_;
    std::vector<MatchResult> out_;
    std::uint64_t rows_computed_ = 0;
};

bool same_hits(const std::vector<MatchResult>& a, const std::vector<MatchResult>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.node_id == y.node_id && x.distance == y.distance && x.term == y.term;
    });
}

// --- output ----------------------------------------------------------------------

std::string json(std::int64_t value) { return std::to_string(value); }
std::string json(bool value) { return value ? "true" : "false"; }
std::string json(const Samples& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + std::to_string(values[i]);
    return out + "]";
}

class JsonObject {
public:
    template <class T>
    JsonObject& add(std::string_view name, const T& value) {
        fields_.push_back("\"" + std::string(name) + "\": " + json(value));
        return *this;
    }
    JsonObject& add(std::string_view name, const JsonObject& value) {
        fields_.push_back("\"" + std::string(name) + "\": " + value.str());
        return *this;
    }
    std::string str() const {
        std::string out = "{";
        for (std::size_t i = 0; i < fields_.size(); ++i) out += (i ? ", " : "") + fields_[i];
        return out + "}";
    }

private:
    std::vector<std::string> fields_;
};

// --- phases ----------------------------------------------------------------------

JsonObject bench_build(const Trie& decoded, const RawPayloads& raw, std::uint64_t video_top_n,
                       int repeat) {
    Samples build_ns, propagate_ns;
    bool rebuilt_equals_decoded = true;
    for (int r = 0; r < repeat; ++r) {
        BuildInputs inputs = build_inputs(decoded, raw);
        std::optional<Trie> built;
        build_ns.push_back(time_ns([&] { built.emplace(build(std::move(inputs), video_top_n)); }));
        rebuilt_equals_decoded = rebuilt_equals_decoded && *built == decoded;

        Trie copy = unpropagated(decoded, raw);
        propagate_ns.push_back(time_ns([&] { copy.propagate(video_top_n); }));
    }
    const std::int64_t before = heap_in_use();
    const Trie held = build(build_inputs(decoded, raw), video_top_n);
    const std::int64_t heap_bytes = heap_in_use() - before;
    return JsonObject()
        .add("build_trie_ns", build_ns)
        .add("propagate_ns", propagate_ns)
        .add("heap_bytes", heap_bytes)
        .add("rebuilt_equals_decoded", rebuilt_equals_decoded);
}

JsonObject bench_codec(std::span<const std::uint8_t> bytes, int repeat) {
    Samples decode_ns, encode_ns;
    for (int r = 0; r < repeat; ++r) {
        std::optional<Trie> trie;
        decode_ns.push_back(time_ns([&] { trie.emplace(decode(bytes)); }));
        encode_ns.push_back(time_ns([&] {
            const std::size_t size = encoded_size(*trie);
            const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[size]);
            encode_into(*trie, {out.get(), size});
            keep(out);
        }));
    }
    const std::int64_t before = heap_in_use();
    const Trie held = decode(bytes);
    const std::int64_t heap_bytes = heap_in_use() - before;
    return JsonObject()
        .add("decode_ns", decode_ns)
        .add("encode_ns", encode_ns)
        .add("heap_bytes", heap_bytes);
}

JsonObject bench_fuzzy_match(const Trie& trie, const std::vector<std::string>& terms,
                             std::uint32_t max_dist) {
    const std::size_t warmup = std::min(kWarmupQueries, terms.size());
    for (std::size_t i = 0; i < warmup; ++i) keep(fuzzy_match(trie, terms[i], max_dist, std::nullopt));

    Samples ours_ns, literal_ns, rows;
    std::vector<std::vector<MatchResult>> ours(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i)
        ours_ns.push_back(time_ns([&] { ours[i] = fuzzy_match(trie, terms[i], max_dist, std::nullopt); }));

    std::int64_t hits = 0, mismatches = 0;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        std::vector<MatchResult> literal;
        std::uint64_t computed = 0;
        literal_ns.push_back(time_ns([&] {
            const std::u32string query = utf8::decode(terms[i]);
            LiteralWalk walk(trie, query, max_dist);
            literal = walk.run();
            computed = walk.rows_computed();
        }));
        rows.push_back(static_cast<std::int64_t>(computed));
        hits += static_cast<std::int64_t>(ours[i].size());
        mismatches += same_hits(ours[i], literal) ? 0 : 1;
    }
    return JsonObject()
        .add("ours_ns", ours_ns)
        .add("literal_ns", literal_ns)
        .add("rows", rows)
        .add("hits", hits)
        .add("mismatches", mismatches);
}

// The walks that fuzzy_match_video runs with no explicit choice: term ends
// first, every node when there is none. Returns how many walks it took.
int automatic_walks(const Trie& trie, std::u32string_view query) {
    const std::vector<NodeMatch> ends = fuzzy_match_nodes(trie, query, kVideoDistance, true);
    keep(ends);
    if (!ends.empty()) return 1;
    keep(fuzzy_match_nodes(trie, query, kVideoDistance, false));
    return 2;
}

JsonObject bench_video(const Trie& trie, const std::vector<std::string>& prefixes) {
    const std::size_t warmup = std::min(kWarmupQueries, prefixes.size());
    for (std::size_t i = 0; i < warmup; ++i)
        keep(fuzzy_match_video(trie, prefixes[i], kVideoDistance, std::nullopt, std::nullopt));

    Samples walk_ns, ranking_ns, rows;
    std::int64_t videos = 0;
    for (const std::string& prefix : prefixes) {
        int walks = 0;
        walk_ns.push_back(time_ns([&] { walks = automatic_walks(trie, utf8::decode(prefix)); }));
        ranking_ns.push_back(time_ns([&] {
            const auto ranked = fuzzy_match_video(trie, prefix, kVideoDistance, std::nullopt, std::nullopt);
            videos += static_cast<std::int64_t>(ranked.size());
        }));
        LiteralWalk literal(trie, utf8::decode(prefix), kVideoDistance);
        keep(literal.run());
        rows.push_back(static_cast<std::int64_t>(literal.rows_computed()) * walks);
    }
    return JsonObject()
        .add("walk_ns", walk_ns)
        .add("ranking_ns", ranking_ns)
        .add("rows", rows)
        .add("videos", videos);
}

std::int64_t count_terms(const Trie& trie) {
    return std::count(trie.is_terminal.begin(), trie.is_terminal.end(), std::uint8_t{1});
}

int run(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "usage: quellnor_bench INDEX RAW_PAYLOADS TERMS PREFIXES REPEAT VIDEO_TOP_N\n";
        return 2;
    }
    const std::vector<std::uint8_t> bytes = read_file(argv[1]);
    const RawPayloads raw = parse_raw_payloads(read_file(argv[2]));
    const std::vector<std::string> terms = read_lines(argv[3]);
    const std::vector<std::string> prefixes = read_lines(argv[4]);
    const int repeat = std::max(1, std::stoi(argv[5]));
    const std::uint64_t video_top_n = std::stoull(argv[6]);

    const Trie trie = decode(bytes);
    if (raw.size() != trie.child_labels.size())
        throw std::runtime_error("raw payloads do not match the index's node count");

    JsonObject matches;
    for (std::uint32_t d = 0; d <= kMaxDistance; ++d)
        matches.add(std::to_string(d), bench_fuzzy_match(trie, terms, d));

    const JsonObject out = JsonObject()
                               .add("nodes", static_cast<std::int64_t>(trie.child_labels.size()))
                               .add("terms", count_terms(trie))
                               .add("encoded_bytes", static_cast<std::int64_t>(bytes.size()))
                               .add("build", bench_build(trie, raw, video_top_n, repeat))
                               .add("codec", bench_codec(bytes, repeat))
                               .add("fuzzy_match", matches)
                               .add("video", bench_video(trie, prefixes));
    std::cout << out.str() << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "quellnor_bench: " << e.what() << '\n';
        return 1;
    }
}
