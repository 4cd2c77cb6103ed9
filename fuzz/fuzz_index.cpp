// libFuzzer target: arbitrary bytes as a serialized index.
//
// The whole input goes to the decoder, which reads the index from the front
// and ignores whatever follows it. The query parameters are read from the
// back of the same input (see Tail), so a valid encoding with a short trailer
// appended is a seed whose queries are chosen on purpose (fuzz/make_seeds.py).
//
// When decoding succeeds:
//   - the index is re-encoded; the encoding must have exactly the announced
//     size, decode to an equal index and re-encode to the same bytes;
//   - each query runs through the term matcher, the node matcher and the
//     video ranking, and the results are checked against each other and
//     against a plain edit-distance computation; then through suggest and
//     suggest_videos, checked against plain models (check_suggest.cpp);
//   - bytes from the tail are read as the extras that travel beside an
//     index, which must round-trip whatever they decode to;
//   - the decoded arrays are also fed to the builder, and whatever it accepts
//     is queried the same way;
//   - rows drawn from the tail go through the native row builder, whose index
//     must hold each term at the saturated sum of its counts (check_rows.cpp).
//   - the index goes through the index file and back (check_file.cpp).
// An input that starts like an index file goes to the file's reader instead:
// it opens or says why not, and what opens answers or faults (check_file.cpp).
// An index whose walk can enter a node twice (a cycle or a shared subtree)
// is walked once per input, without cross-checks: see run_tangled.
//
// Expected outcomes of any single operation: a result, quellnor::InputError
// (input the core rejects), quellnor::Fault (a broken invariant of a decoded
// index, reported as an internal fault) or std::bad_alloc (a walk past its
// memory budget). Anything else escapes and ends the run: a crash, a
// sanitizer report, a failed consistency check (abort), a timeout or a
// memory blow-up. Set FUZZ_INDEX_TRACE=1 to see each operation's outcome
// and duration when replaying an input.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/codec.hpp"
#include "fault.hpp"
#include "search/matcher.hpp"
#include "trie/build.hpp"
#include "trie/trie.hpp"
#include "search/ranking.hpp"
#include "text/utf8.hpp"
#include "check_split.hpp"
#include "check_rows.hpp"
#include "check_file.hpp"
#include "check_suggest.hpp"
#include "file/index_file.hpp"
#include "fuzz_support.hpp"
#include "suggest/completion_table.hpp"

namespace {

using namespace quellnor;
using namespace fuzz;

// Code points that exercise the non-ASCII paths, and byte strings that are
// not UTF-8 at all (the core maps each bad byte to U+FFFD).
constexpr std::string_view kSpecial[16] = {
    "\xc3\xa9",          // U+00E9
    "\xc3\x9f",          // U+00DF
    "\xe2\x82\xac",      // U+20AC
    "\xef\xbf\xbd",      // U+FFFD
    "\xf0\x9f\x98\x80",  // U+1F600
    "\xf4\x8f\xbf\xbf",  // U+10FFFF
    "\xd0\xb6",          // U+0436
    "\xe4\xb8\xad",      // U+4E2D
    "\xff",              // invalid lead byte
    "\xed\xa0\x80",      // encoded surrogate
    "\xc0\xaf",          // overlong
    "\xe2\x82",          // truncated sequence
    "\x80",              // lone continuation byte
    "\xf5\x80\x80\x80",  // beyond U+10FFFF
    std::string_view("\0", 1),
    "\xc2\x80",          // U+0080
};

struct Query {
    std::string term;  // UTF-8, possibly invalid
    std::uint32_t max_dist;
    std::optional<std::uint64_t> limit;
    std::optional<bool> include_prefix_nodes;
};

// Mostly 0 to 3; sometimes up to 15 (both row representations); now and
// then larger, up to the whole 32-bit range.
std::uint32_t pick_max_dist(Tail& tail) {
    const std::uint8_t b = tail.byte();
    if (b < 200) return b % 4;
    if (b < 240) return b % 16;
    if (b < 252) return 16u + (b - 240u) * 8u;
    constexpr std::uint32_t kHuge[4] = {0xFFFF'FFFFu, 0xFFFF'FFFEu, 1u << 16, 1u << 31};
    return kHuge[b - 252];
}

std::optional<std::uint64_t> pick_limit(Tail& tail) {
    const std::uint8_t b = tail.byte();
    if (b < 128) return std::nullopt;
    constexpr std::uint64_t kLimits[8] = {0, 1, 2, 3, 5, 17, 1u << 20, ~std::uint64_t{0}};
    return kLimits[b % 8];
}

// Characters: a byte with the top bit set takes a label of the index (so
// that queries actually meet the trie), a byte below 16 one of kSpecial, any
// other byte itself as ASCII. Up to 79 characters, across the 63 code points
// where the matcher switches row representation; fewer when asked.
Query read_query(Tail& tail, const Trie& trie, std::size_t max_length) {
    Query q;
    q.max_dist = pick_max_dist(tail);
    q.limit = pick_limit(tail);
    const std::uint8_t prefix = tail.byte() % 3;
    if (prefix != 0) q.include_prefix_nodes = prefix == 2;
    const std::size_t length = tail.byte() % (max_length + 1);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = tail.byte();
        if (c & 0x80) {
            const std::size_t at = tail.u16();
            if (!trie.child_labels.empty()) {
                const char32_t label = trie.child_labels[at % trie.child_labels.size()];
                // A decoded label is always a scalar value; stay defensive for
                // the builder's copy all the same.
                if (utf8::is_scalar_value(label)) utf8::append(q.term, label);
            } else {
                q.term += static_cast<char>('a' + (c & 0x0F));
            }
        } else if (c < 16) {
            q.term += kSpecial[c];
        } else {
            q.term += static_cast<char>(c);
        }
    }
    return q;
}

// Plain Levenshtein distance over code points, the oracle for every
// distance the matchers report.
std::uint32_t levenshtein(std::u32string_view a, std::u32string_view b) {
    return distances_to_prefixes(b, a, false).back();
}

bool same_nodes(const std::vector<NodeMatch>& a, const std::vector<NodeMatch>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const NodeMatch& x, const NodeMatch& y) {
               return x.node_id == y.node_id && x.distance == y.distance;
           });
}

bool same_ranking(const std::vector<RankedVideo>& a, std::size_t n, const std::vector<RankedVideo>& b) {
    if (n > a.size() || n > b.size()) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i].key != b[i].key) return false;
        // Bit-identical: scores are reproducible to the last bit.
        if (std::memcmp(&a[i].share, &b[i].share, sizeof(double)) != 0) return false;
    }
    return true;
}

std::string describe(const Query& q) {
    std::string s = "max_dist " + std::to_string(q.max_dist) + ", limit ";
    s += q.limit ? std::to_string(*q.limit) : "none";
    s += ", term bytes " + std::to_string(q.term.size());
    return s;
}

void check_term_matcher(const Trie& trie, const Query& q, const std::u32string& query) {
    const auto all = attempt("fuzzy_match", [&] { return fuzzy_match(trie, q.term, q.max_dist, std::nullopt); });
    const std::string all_failure = all ? std::string() : last_failure;
    if (all) {
        // At most a bounded number of results is checked against the oracle.
        std::size_t budget = 20000;
        for (const MatchResult& m : *all) {
            CHECK(m.distance <= q.max_dist, describe(q));
            const std::u32string term = utf8::decode(m.term);
            CHECK(!term.empty());
            CHECK(m.node_id < trie.child_labels.size());
            CHECK(term.back() == trie.child_labels[m.node_id], describe(q));
            CHECK(m.node_id < trie.is_terminal.size() && trie.is_terminal[m.node_id] == 1);
            const std::size_t cost = (term.size() + 1) * (query.size() + 1);
            if (cost > budget) continue;
            budget -= cost;
            CHECK(levenshtein(query, term) == m.distance, describe(q) + ", term " + m.term);
        }
    }

    // The node matcher restricted to term ends reports the same nodes, in the
    // same order, at the same distances.
    const auto ends = attempt("nodes ends", [&] { return fuzzy_match_nodes(trie, query, q.max_dist, true); });
    if (all && ends) {
        CHECK(all->size() == ends->size(), describe(q));
        for (std::size_t i = 0; i < all->size(); ++i) {
            CHECK((*all)[i].node_id == (*ends)[i].node_id, describe(q));
            CHECK((*all)[i].distance == (*ends)[i].distance, describe(q));
        }
    }

    // With a limit, the walk stops right after the report that reaches it: the
    // result is the front of the unlimited one, and when the unlimited walk
    // failed later on, the limited one either fails the same way or stopped
    // early. Both meet the nodes in the same order, whichever walk they take.
    if (q.limit) {
        const auto some = attempt("fuzzy_match limited", [&] { return fuzzy_match(trie, q.term, q.max_dist, q.limit); });
        const std::uint64_t wanted = std::max<std::uint64_t>(*q.limit, 1);
        if (some && all) {
            CHECK(some->size() == std::min<std::uint64_t>(wanted, all->size()), describe(q));
            for (std::size_t i = 0; i < some->size(); ++i) {
                CHECK((*some)[i].term == (*all)[i].term && (*some)[i].node_id == (*all)[i].node_id &&
                          (*some)[i].distance == (*all)[i].distance,
                      describe(q));
            }
        } else if (some) {
            CHECK(some->size() == wanted, describe(q));
        } else if (!all) {
            CHECK(last_failure == all_failure, describe(q) + ": " + last_failure + " / " + all_failure);
        }
    }
}

void check_node_matcher(const Trie& trie, const Query& q, const std::u32string& query) {
    const auto nodes = attempt("nodes", [&] { return fuzzy_match_nodes(trie, query, q.max_dist, false); });
    if (nodes) {
        for (const NodeMatch& m : *nodes) CHECK(m.distance <= q.max_dist, describe(q));
    }

    // Short queries with a small threshold use bit-parallel rows; a threshold
    // of 8 or more (or a query longer than 63) uses plain cells. The cells'
    // hits at distance <= max_dist must be exactly the bit rows' hits.
    if (query.size() <= 63 && q.max_dist <= 7 && nodes) {
        const auto wide = attempt("nodes as cells", [&] { return fuzzy_match_nodes(trie, query, 8, false); });
        if (wide) {
            std::vector<NodeMatch> kept;
            for (const NodeMatch& m : *wide)
                if (m.distance <= q.max_dist) kept.push_back(m);
            CHECK(same_nodes(kept, *nodes), describe(q) + ": bit rows and cell rows disagree");
        }
    }
}

// The ranking worked out plainly, as its rules state it: a node's weight
// from its distance, the query's length and its kind; every video's score
// added up in an ordered map in node order, then each share, kept from 0.01,
// ordered by share and then id, and ids beyond video_index left out. The
// score table's hashing, its probe bound and the seeded hash behind it never
// show here, whatever ids the payloads list.
std::vector<RankedVideo> plain_ranking(const Trie& trie, const std::vector<NodeMatch>& nodes,
                                       std::size_t query_length) {
    std::map<std::uint32_t, double> scores;
    double total = 0.0;
    for (const NodeMatch& match : nodes) {
        double weight = 1.0;
        if (match.distance != 0) {
            weight = query_length == 0 ? 0.0
                                       : (1.0 - static_cast<double>(match.distance) /
                                                    static_cast<double>(query_length)) * 0.05;
            if (!(weight > 0.0)) continue;
        }
        if (trie.is_terminal[match.node_id] == 0) weight = weight * 0.85;
        const auto payload = trie.payloads[match.node_id];
        if (!payload) continue;
        total = static_cast<double>(payload->total_count) * weight + total;
        for (std::size_t i = 0; i < payload->video_ids.size(); ++i) {
            double& score = scores[payload->video_ids[i]];
            score = score + static_cast<double>(payload->video_counts[i]) * weight;
        }
    }
    std::vector<RankedVideo> kept;
    if (!(total > 0.0)) return kept;
    for (const auto& [video, score] : scores) {
        const double share = score / total;
        if (share >= 0.01) kept.push_back({{}, share, video});
    }
    std::sort(kept.begin(), kept.end(), [](const RankedVideo& a, const RankedVideo& b) {
        return a.share != b.share ? a.share > b.share : a.video < b.video;
    });
    std::erase_if(kept, [&](const RankedVideo& v) { return v.video >= trie.video_index.size(); });
    for (RankedVideo& v : kept) v.key = format_video_key(trie.video_index[v.video]);
    return kept;
}

void check_ranking(const Trie& trie, const Query& q, const std::u32string& query) {
    const auto ranked = attempt("video", [&] {
        return fuzzy_match_video(trie, q.term, q.max_dist, std::nullopt, q.include_prefix_nodes);
    });
    if (ranked) {
        for (std::size_t i = 0; i < ranked->size(); ++i) {
            const double share = (*ranked)[i].share;
            CHECK(std::isfinite(share) && share >= 0.01, describe(q));
            if (i > 0) CHECK((*ranked)[i - 1].share >= share, describe(q));
        }
        // The nodes the ranking used: the ranking succeeded, so they walk
        // without failing, and every node they hold is within the arrays.
        const bool prefix_nodes = q.include_prefix_nodes.value_or(false);
        auto nodes = fuzzy_match_nodes(trie, query, q.max_dist, !prefix_nodes);
        if (!q.include_prefix_nodes && nodes.empty()) nodes = fuzzy_match_nodes(trie, query, q.max_dist, false);
        const std::vector<RankedVideo> plain = plain_ranking(trie, nodes, query.size());
        CHECK(plain.size() == ranked->size() && same_ranking(plain, plain.size(), *ranked),
              describe(q) + ": the ranking differs from the plain one");
    }

    if (q.limit) {
        const auto cut = attempt("video limited", [&] {
            return fuzzy_match_video(trie, q.term, q.max_dist, q.limit, q.include_prefix_nodes);
        });
        if (cut) CHECK(cut->size() <= *q.limit, describe(q));
        // Ids past video_index are dropped after the cut, so the cut result
        // is a prefix of the full one.
        if (cut && ranked) CHECK(same_ranking(*cut, cut->size(), *ranked), describe(q));
    }

    // Without an explicit choice, term ends are used whenever the query
    // reaches any, prefix nodes otherwise.
    if (!q.include_prefix_nodes && ranked) {
        const auto ends = attempt("nodes ends", [&] { return fuzzy_match_nodes(trie, query, q.max_dist, true); });
        if (ends) {
            const bool prefix = ends->empty();
            const auto chosen = attempt("video explicit", [&] {
                return fuzzy_match_video(trie, q.term, q.max_dist, std::nullopt, prefix);
            });
            if (chosen) {
                CHECK(chosen->size() == ranked->size() && same_ranking(*chosen, chosen->size(), *ranked),
                      describe(q) + ": automatic choice differs from the explicit one");
            }
        }
    }
}

// Whether the walk from the root can enter some node twice: a cycle or a
// shared subtree. A walk over such a trie is bounded only by the matcher's
// visit allowance (about a million slot visits, each computing one distance
// row), so it costs far more than a walk over a tree of the same size.
bool tangled(const Trie& trie) {
    if (trie.node_shifts.empty()) return false;
    std::vector<std::uint8_t> seen(trie.child_labels.size() + 1);
    std::vector<std::size_t> todo{0};
    seen[0] = 1;
    while (!todo.empty()) {
        const std::size_t node = todo.back();
        todo.pop_back();
        if (node >= trie.node_shifts.size()) continue;
        const std::size_t begin = trie.node_shifts[node];
        const std::size_t end = node + 1 < trie.node_shifts.size() ? trie.node_shifts[node + 1]
                                                                   : trie.child_transitions.size();
        for (std::size_t slot = begin; slot < end && slot < trie.child_transitions.size(); ++slot) {
            const std::size_t child = trie.child_transitions[slot];
            // Out of range ends the walk with a fault; label 0 is never entered.
            if (child >= trie.child_labels.size() || trie.child_labels[child] == 0) continue;
            if (seen[child]) return true;
            seen[child] = 1;
            todo.push_back(child);
        }
    }
    return false;
}

// A walk over a tangled trie may run to the matcher's visit allowance (about
// a million slot visits: a second or two under the sanitizers, and the
// fuzzer runs niced, so on a busy machine it may get a fraction of a core
// against a wall-clock timeout). Such a trie gets one walk per input, with a
// short query, no cross-checks, and the matcher picked by the query. With a
// huge threshold the term matcher runs only with a small limit: unpruned,
// it builds one string per hit as long as the path until its memory budget
// runs out, several seconds here.
struct TangledPlan {
    int walks_left = 1;
};
TangledPlan plan;

void run_tangled(const Trie& trie, const TermIndex& terms, const Query& q, const std::u32string& query,
                 Tail& tail) {
    if (plan.walks_left-- <= 0) return;
    const bool unpruned = q.max_dist > 64;
    const bool include = q.include_prefix_nodes.value_or(false);
    switch (q.term.size() % 4) {
        case 3:
            check_suggestions(trie, terms, query, tail, true);
            break;
        case 0:
            if (!unpruned || (q.limit && *q.limit <= 17)) {
                (void)attempt("tangled fuzzy_match", [&] { return fuzzy_match(trie, q.term, q.max_dist, q.limit); });
                break;
            }
            [[fallthrough]];
        case 1:
            (void)attempt("tangled nodes", [&] { return fuzzy_match_nodes(trie, query, q.max_dist, !include); });
            break;
        default:
            // An explicit choice of nodes: the automatic one may walk twice.
            (void)attempt("tangled video", [&] {
                return fuzzy_match_video(trie, q.term, q.max_dist, q.limit, include);
            });
            break;
    }
}

void run_queries(const Trie& trie, Tail& tail, std::size_t count) {
    const bool expensive = tangled(trie);
    TermIndex terms;
    terms.table = derive_completion_table(trie, {});
    // Only a tree numbered breadth first has reversed terms to split walks.
    const std::optional<Trie> plain =
        trie.breadth_first_tree ? std::optional<Trie>(plain_copy(trie)) : std::nullopt;
    for (std::size_t i = 0; i < count; ++i) {
        const Query q = read_query(tail, trie, expensive ? 8 : 79);
        const std::u32string query = utf8::decode(q.term);
        if (expensive) {
            run_tangled(trie, terms, q, query, tail);
            continue;
        }
        check_term_matcher(trie, q, query);
        if (plain) check_split_walk(trie, *plain, q.term, q.max_dist, q.limit);
        check_node_matcher(trie, q, query);
        check_ranking(trie, q, query);
        check_suggestions(trie, terms, query, tail, false);
    }
}

std::vector<std::uint8_t> encode(const Trie& trie) {
    // A decoded index holds only well-formed values, so encoding it cannot
    // fail: no exception is caught here.
    std::vector<std::uint8_t> out(encoded_size(trie));
    encode_into(trie, out);
    return out;
}

void check_round_trip(const Trie& trie) {
    const std::vector<std::uint8_t> bytes = encode(trie);
    Trie again;
    try {
        again = decode(bytes);
    } catch (const InputError& e) {
        fail("the re-encoding does not decode", e.what());
    }
    CHECK(again == trie);
    CHECK(encode(again) == bytes);

    // Bytes after an index are ignored.
    std::vector<std::uint8_t> longer = bytes;
    longer.push_back(0xFF);
    CHECK(decode(longer) == trie);
}

// Hands the decoded payloads to the builder as the binding would hand over
// the caller's tuples. Written against what every payload layout offers
// (size(), and an optional payload per node by position) so that it does not
// depend on how the Trie stores them.
template <class Table>
class DecodedPayloads : public PayloadSource {
public:
    explicit DecodedPayloads(const Table& payloads) : payloads_(payloads) {}
    std::size_t size() const override { return payloads_.size(); }
    bool present(std::size_t node) const override { return checked_at(payloads_, node).has_value(); }
    PayloadView convert(std::size_t node) override {
        const auto stored = checked_at(payloads_, node);
        return {stored->total_count,
                {stored->video_ids.data(), stored->video_ids.size()},
                {stored->video_counts.data(), stored->video_counts.size()}};
    }

private:
    const Table& payloads_;
};

void check_builder(const Trie& decoded, Tail& tail) {
    std::vector<VideoKeyInput> keys;
    keys.reserve(decoded.video_index.size());
    for (const VideoKey& k : decoded.video_index) keys.push_back({k, k.size()});
    const std::uint8_t top = tail.byte();
    const std::uint64_t top_n = top < 250 ? top % 8 : ~std::uint64_t{0} - (top - 250);

    DecodedPayloads<decltype(decoded.payloads)> source(decoded.payloads);
    const auto built = attempt("build_trie", [&] {
        return build_trie(decoded.node_shifts.to_vector(), decoded.child_labels.to_vector(), source,
                          decoded.child_transitions.to_vector(), keys, top_n);
    });
    if (!built) return;

    // What the builder accepts it stores as given, apart from the payloads it
    // aggregates, so its output encodes and round-trips like any index.
    CHECK(built->node_shifts == decoded.node_shifts);
    CHECK(built->child_labels == decoded.child_labels);
    CHECK(built->child_transitions == decoded.child_transitions);
    CHECK(built->video_index == decoded.video_index);
    CHECK(built->payloads.size() == decoded.child_labels.size());
    for (std::size_t i = 0; i < built->payloads.size(); ++i) {
        const auto p = built->payloads[i];
        CHECK(p.has_value());
        CHECK(p->video_ids.size() == p->video_counts.size());
        CHECK(p->video_ids.size() <= top_n);
        CHECK(built->is_terminal[i] == (decoded.payloads[i].has_value() ? 1 : 0));
    }
    check_round_trip(*built);
    run_queries(*built, tail, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (file::is_index_file(input)) {
        check_index_file(input);
        return 0;
    }
    std::optional<Trie> trie;
    try {
        trie = decode(input);
    } catch (const InputError& e) {
        CHECK(std::string_view(e.what()).starts_with("decode error: "), e.what());
        return 0;
    }
    // The decoder reserves no more than the input can fill, and reports
    // malformed input as an InputError; any other exception is a finding.

    check_round_trip(*trie);

    Tail tail(input);
    const std::uint8_t flags = tail.byte();
    plan = TangledPlan{};
    run_queries(*trie, tail, 1 + (flags & 3));
    if (flags & 4) check_builder(*trie, tail);
    if (flags & 8) check_extras(*trie, tail);
    if (flags & 16) check_row_builder(tail);
    if (flags & 32) check_file_round_trip(*trie);
    return 0;
}
