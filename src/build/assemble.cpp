#include "build/assemble.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "build/layout.hpp"
#include "payload/pages.hpp"
#include "payload/payload.hpp"
#include "progress.hpp"
#include "run_beside.hpp"
#include "trie/build.hpp"
#include "trie/propagate_levels.hpp"

namespace quellnor {

namespace {

// Pairs by count, highest first, equal counts in the order they were added
// (their numbers ascending). Most terms have a video or two: sorting those
// in place spares a stable sort's buffer per term.
template <class Iterator>
void rank_by_count(const PairTable& pairs, Iterator begin, Iterator end) {
    const auto before = [&](std::uint32_t a, std::uint32_t b) { return pairs.count(a) > pairs.count(b); };
    if (end - begin > 16) {
        std::stable_sort(begin, end, before);
        return;
    }
    for (auto i = begin + (begin != end); i < end; ++i) {
        const std::uint32_t pair = *i;
        auto j = i;
        for (; j != begin && before(pair, *(j - 1)); --j) *j = *(j - 1);
        *j = pair;
    }
}

// Every term's payload, the terms one after another: videos by count,
// highest first, equal counts in the order first added to the term.
class TermPayloads final : public PayloadSource {
public:
    TermPayloads(const PairTable& pairs, std::size_t term_count) : terms_(term_count) {
        std::vector<std::uint64_t> starts(term_count + 1, 0);
        for (std::size_t pair = 0; pair < pairs.size(); ++pair) ++starts[pairs.term(pair) + 1];
        for (std::size_t t = 0; t < term_count; ++t) starts[t + 1] += starts[t];
        // A stable counting sort by term keeps the order pairs were added.
        std::vector<std::uint32_t> order(pairs.size());
        std::vector<std::uint64_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t pair = 0; pair < pairs.size(); ++pair)
            order[next[pairs.term(pair)]++] = static_cast<std::uint32_t>(pair);
        values_.resize(2 * pairs.size());
        Progress progress;
        for (std::size_t t = 0; t < term_count; ++t) {
            const auto begin = order.begin() + static_cast<std::ptrdiff_t>(starts[t]);
            const auto end = order.begin() + static_cast<std::ptrdiff_t>(starts[t + 1]);
            progress.advance(static_cast<std::size_t>(end - begin) + 1);
            rank_by_count(pairs, begin, end);
            // A term's ids and then its counts, beside one another.
            const std::size_t size = static_cast<std::size_t>(end - begin);
            std::uint32_t* ids = values_.data() + 2 * starts[t];
            std::uint32_t* counts = ids + size;
            std::uint32_t total = 0;
            for (std::size_t i = 0; i < size; ++i) {
                const std::uint32_t pair = begin[static_cast<std::ptrdiff_t>(i)];
                ids[i] = pairs.video(pair);
                counts[i] = static_cast<std::uint32_t>(std::min<std::uint64_t>(pairs.count(pair), kCountMax));
                total = saturating_add(total, counts[i]);
            }
            terms_[t] = {2 * starts[t], static_cast<std::uint32_t>(size), total};
        }
    }

    // Where each term ends in the trie, once it is laid out.
    void place(std::vector<std::uint32_t> term_of_node) { term_of_node_ = std::move(term_of_node); }

    std::size_t size() const override { return term_of_node_.size(); }
    bool present(std::size_t node) const override { return term_of_node_[node] != kNoTerm; }
    PayloadView convert(std::size_t node) override {
        const Term& term = terms_[term_of_node_[node]];
        const std::uint32_t* ids = values_.data() + term.begin;
        return {term.total, {ids, term.size}, {ids + term.size, term.size}};
    }
    // Terms come in the order of their nodes, which is not theirs: first
    // the term's record, then (read from the record by then in cache) its lists.
    void prefetch(std::size_t node, bool far) const override {
        const std::uint32_t t = term_of_node_[node];
        if (t == kNoTerm) return;
        if (far)
            __builtin_prefetch(terms_.data() + t);
        else
            __builtin_prefetch(values_.data() + terms_[t].begin);
    }
    void let_go() override {
        std::vector<std::uint32_t>().swap(term_of_node_);
        std::vector<Term>().swap(terms_);
        std::vector<std::uint32_t>().swap(values_);
    }
    // Each node's own total: its term's, 0 where none ends.
    std::vector<std::uint32_t> node_totals() const {
        std::vector<std::uint32_t> totals(term_of_node_.size(), 0);
        for (std::size_t node = 0; node < totals.size(); ++node)
            if (term_of_node_[node] != kNoTerm) totals[node] = terms_[term_of_node_[node]].total;
        return totals;
    }

private:
    struct Term {
        std::uint64_t begin;  // in values_
        std::uint32_t size;   // videos
        std::uint32_t total;
    };
    std::vector<std::uint32_t> term_of_node_;
    std::vector<Term> terms_;
    std::vector<std::uint32_t> values_;
};

// A key per video: its UUID, or for given ids the rank of the id (ints by
// value, strs in code-point order) as a big-endian number, so that results
// of equal score come in the order of their ids.
std::vector<VideoKeyInput> video_keys(const RowTable& rows) {
    const TextTable& videos = rows.videos();
    std::vector<VideoKeyInput> keys(videos.size());
    if (rows.video_kind() == VideoIdKind::uuid) {
        for (std::uint32_t v = 0; v < videos.size(); ++v) {
            const std::string_view key = videos.text(v);
            std::copy(key.begin(), key.end(), keys[v].bytes.begin());
            keys[v].length = key.size();
        }
        return keys;
    }
    std::vector<std::uint32_t> order(videos.size());
    for (std::uint32_t v = 0; v < order.size(); ++v) order[v] = v;
    if (rows.video_kind() == VideoIdKind::integer)
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return integer_of_key(videos.text(a)) < integer_of_key(videos.text(b));
        });
    else
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return videos.text(a) < videos.text(b);
        });
    for (std::uint32_t rank = 0; rank < order.size(); ++rank) {
        VideoKeyInput& key = keys[order[rank]];
        for (std::size_t i = 0; i < 4; ++i) key.bytes[15 - i] = static_cast<std::uint8_t>(rank >> (8 * i));
        key.length = key.bytes.size();
    }
    return keys;
}

GivenVideoIds given_ids(const RowTable& rows) {
    GivenVideoIds ids;
    if (rows.video_kind() != VideoIdKind::text && rows.video_kind() != VideoIdKind::integer) return ids;
    ids.kind = rows.video_kind();
    for (std::uint32_t v = 0; v < rows.videos().size(); ++v) ids.push(rows.videos().text(v));
    return ids;
}

// Each term shown in its most frequent spelling (ties: the one added
// first), where that is not the term itself, by the node of the term.
std::vector<Spellings::Entry> display_spellings(const RowTable& rows, std::span<const std::uint32_t> term_of_node) {
    const std::size_t term_count = rows.terms().size();
    std::vector<std::uint32_t> best(term_count, kNoTerm);
    const TextTable& spellings = rows.spellings();
    for (std::uint32_t s = 0; s < spellings.size(); ++s) {
        std::uint32_t& chosen = best[rows.term_of_spelling(s)];
        if (chosen == kNoTerm || rows.spelling_count(s) > rows.spelling_count(chosen)) chosen = s;
    }
    // Most terms show as they are: one bit per term, which stays in cache,
    // tells the walk over the nodes which few to look up.
    std::vector<bool> differs(term_count);
    bool any = false;
    for (std::uint32_t t = 0; t < term_count; ++t) {
        differs[t] = best[t] != kNoTerm && rows.spelling_differs(best[t]);
        any = any || differs[t];
    }
    std::vector<Spellings::Entry> shown;
    if (!any) return shown;
    for (std::uint32_t node = 0; node < term_of_node.size(); ++node) {
        const std::uint32_t t = term_of_node[node];
        if (t != kNoTerm && differs[t]) shown.emplace_back(node, spellings.text(best[t]));
    }
    return shown;
}

// Deriving the suggestions holds about this much per node at its height,
// beside the table it makes.
constexpr std::size_t kDerivationBytesPerNode = 64;

// `let_go` is called once nothing more is read from `rows`.
BuiltIndex assemble(const RowTable& rows, std::uint64_t video_top_n, const PhaseReport& report,
                    const std::function<void()>& let_go) {
    const std::size_t term_count = rows.terms().size();
    report("sorting terms", term_count);
    TrieLayout layout;
    std::unique_ptr<TermPayloads> payloads;
    // Each term's videos are ranked on a second core while the terms are
    // laid out: the one reads the pairs, the other the terms. Both hold
    // far less than the phases after them.
    run_beside(
        [&] {
            const std::vector<std::uint32_t> sorted = sorted_terms(rows.terms());
            report("laying out", term_count);
            layout = lay_out(rows.terms(), sorted);
            report("ranking videos", rows.pairs().size());
        },
        [&] { payloads = std::make_unique<TermPayloads>(rows.pairs(), term_count); });
    const std::size_t node_count = layout.child_labels.size();
    std::vector<Spellings::Entry> spellings;
    std::vector<std::uint32_t> child_transitions;
    std::vector<VideoKeyInput> keys;
    GivenVideoIds ids;
    // The last of what is read from the rows, in two independent halves.
    run_beside([&] { spellings = display_spellings(rows, layout.term_of_node); },
               [&] {
                   child_transitions.resize(node_count - 1);
                   for (std::uint32_t s = 0; s < child_transitions.size(); ++s) child_transitions[s] = s + 1;
                   keys = video_keys(rows);
                   ids = given_ids(rows);
               });
    payloads->place(std::move(layout.term_of_node));
    const bool folded = rows.folded();
    // The display spellings view the rows' text: copied into a set of their
    // own, they outlive the rows.
    Spellings shown(std::move(spellings));
    let_go();
    // What the rows freed in blocks too small for a mapping of their own
    // goes back before the heaviest phase maps its arrays.
    return_free_pages();

    report("propagating", node_count);
    BuiltIndex built;
    // The terms' payloads stay where they are, one list per term, and the
    // propagation reads them there: laid out per node first, they would
    // hold a few bytes more per node through the heaviest phase.
    built.trie = assemble_shape(std::move(layout.node_shifts), std::move(layout.child_labels), *payloads,
                                std::move(child_transitions), keys);
    std::vector<std::uint32_t> supplied_totals = payloads->node_totals();
    const std::optional<std::vector<std::uint32_t>> starts = depth_starts(built.trie);
    if (!starts) throw Fault("the builder's trie is not one tree numbered breadth first");
    const auto propagate = [&] {
        built.trie.payloads = propagate_by_depth(built.trie, *starts, *payloads, video_top_n);
        payloads.reset();
        report("deriving suggestions", node_count);
    };
    const auto derive = [&] {
        built.terms = term_index_from_build(built.trie, std::move(supplied_totals), folded, std::move(shown),
                                            preorder_of(layout));
    };
    // The suggestions are made of the trie's shape and the terms' own totals,
    // never of the payloads that propagation replaces: they are derived on a
    // second core meanwhile, where memory allows.
    if (room_beside(node_count * kDerivationBytesPerNode)) {
        run_beside(propagate, derive);
    } else {
        propagate();
        return_free_pages();
        derive();
    }
    built.terms.video_ids = std::move(ids);
    return built;
}

}  // namespace

BuiltIndex assemble_index(const RowTable& rows, std::uint64_t video_top_n, const PhaseReport& report) {
    return assemble(rows, video_top_n, report, [] {});
}

BuiltIndex assemble_index_consuming(RowTable& rows, std::uint64_t video_top_n, const PhaseReport& report) {
    return assemble(rows, video_top_n, report, [&] { rows = rows.emptied(); });
}

}  // namespace quellnor
