// The fuzz target's checks of suggestions: suggest and suggest_videos on a
// decoded index against plain models (every term, every prefix, a textbook
// distance table), and the byte form of the extras, which must decode
// safely from anything and round-trip what it decodes.
#include "check_suggest.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "suggest/active_nodes.hpp"
#include "suggest/extras_codec.hpp"
#include "suggest/suggest.hpp"
#include "suggest/term_index.hpp"
#include "suggest/terms.hpp"
#include "text/utf8.hpp"

namespace fuzz {

using namespace quellnor;

namespace {

// A node the walks reach, with what the models need of it. `order` spells
// its way from the root as (label, node) pairs: sorted, these come in the
// code-point order that suggestions break ties by.
struct Reached {
    std::uint32_t node;
    std::u32string path;
    std::vector<std::pair<char32_t, std::uint32_t>> order;
    std::size_t parent;  // index in the list; the root's is itself
};

// The reached nodes in pre-order with children in slot order, as the walks
// meet them; nothing when there are more than `most` or the trie is no tree
// (the models are for small trees).
std::optional<std::vector<Reached>> reached_nodes(const Trie& trie, std::size_t most) {
    if (trie.child_labels.empty()) return std::vector<Reached>();  // not even a root
    std::vector<Reached> out{{0, {}, {}, 0}};
    std::vector<std::uint8_t> seen(trie.child_labels.size() + 1);
    std::vector<std::pair<std::uint32_t, std::size_t>> stack;  // node, parent's index
    const auto push_children = [&](std::uint32_t node, std::size_t at) {
        const ChildRange range = trie.child_range(node);
        for (std::size_t slot = range.end; slot-- > range.begin;) {
            const std::uint32_t child = trie.child_transitions.at(slot);
            if (trie.child_labels.at(child) != U'\0') stack.emplace_back(child, at);
        }
    };
    push_children(0, 0);
    while (!stack.empty()) {
        const auto [node, parent] = stack.back();
        stack.pop_back();
        if (seen[node]++ || node == 0 || out.size() >= most) return std::nullopt;
        Reached r{node, out[parent].path, out[parent].order, parent};
        r.path.push_back(trie.child_labels[node]);
        r.order.emplace_back(trie.child_labels[node], node);
        out.push_back(std::move(r));
        push_children(node, out.size() - 1);
    }
    return out;
}

std::uint32_t reach_of(const SuggestOptions& options, std::size_t length) {
    if (options.max_dist) return *options.max_dist;
    return length <= 2 ? 0 : length <= 5 ? 1 : 2;
}

// Every term, every prefix: distance, whole before completion, weight, order.
std::vector<Suggestion> model_suggest(const Trie& trie, const TermIndex& terms, const std::vector<Reached>& nodes,
                                      std::u32string_view query, const SuggestOptions& options) {
    using Key = std::tuple<std::uint32_t, bool, std::int64_t, const Reached*>;
    std::vector<Key> found;
    for (const Reached& r : nodes) {
        if (r.node == 0 || trie.is_terminal.at(r.node) == 0) continue;
        const std::vector<std::uint32_t> d = distances_to_prefixes(query, r.path, options.transpositions);
        const std::uint32_t nearest = *std::min_element(d.begin(), d.end());
        if (nearest > reach_of(options, query.size())) continue;
        found.emplace_back(nearest, d.back() != nearest, -std::int64_t{weight_from_totals(trie, r.node)}, &r);
    }
    std::sort(found.begin(), found.end(), [](const Key& a, const Key& b) {
        if (std::get<0>(a) != std::get<0>(b) || std::get<1>(a) != std::get<1>(b) || std::get<2>(a) != std::get<2>(b))
            return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a)) <
                   std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b));
        return std::get<3>(a)->order < std::get<3>(b)->order;
    });
    std::vector<Suggestion> out;
    for (std::size_t i = 0; i < found.size() && i < options.k; ++i) {
        const auto& [distance, _, weight, r] = found[i];
        out.push_back({terms.table.entry_of.at(r->node), distance, static_cast<std::uint32_t>(-weight)});
    }
    return out;
}

// The videos' rules, step by step, in the walks' order; nothing where a
// weighed node's counts are shorter than its ids (the ranking faults).
std::optional<std::vector<RankedVideo>> model_videos(const Trie& trie, const std::vector<Reached>& nodes,
                                                     std::u32string_view query, const SuggestOptions& options) {
    if (options.k == 0) return std::vector<RankedVideo>();  // asked for nothing, it looks at nothing
    const std::size_t length = query.size();
    std::vector<std::uint32_t> near(nodes.size());
    std::map<std::uint32_t, double> scores;
    std::vector<std::uint32_t> seen_order;
    double total = 0.0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        near[i] = distances_to_prefixes(query, nodes[i].path, options.transpositions).back();
        if (near[i] > reach_of(options, length)) continue;
        bool counted_above = false;
        for (std::size_t a = i; a != 0 && !counted_above;) {
            a = nodes[a].parent;
            counted_above = near[a] <= near[i] && near[a] <= reach_of(options, length);
        }
        if (counted_above) continue;
        const std::uint32_t d = near[i];
        double weight = d == 0 ? 1.0 : (1.0 - static_cast<double>(d) / static_cast<double>(length)) * 0.05;
        if (d != 0 && !(weight > 0.0)) continue;
        if (trie.is_terminal.at(nodes[i].node) == 0) weight = weight * 0.85;
        const std::optional<PayloadView> payload = trie.payloads[nodes[i].node];
        if (!payload) continue;
        if (payload->video_counts.size() < payload->video_ids.size()) return std::nullopt;
        total = static_cast<double>(payload->total_count) * weight + total;
        for (std::size_t v = 0; v < payload->video_ids.size(); ++v) {
            const std::uint32_t id = payload->video_ids[v];
            scores[id] = scores[id] + static_cast<double>(payload->video_counts[v]) * weight;
        }
    }
    std::vector<RankedVideo> out;
    for (const auto& [id, score] : scores) {
        if (id >= trie.video_index.size()) continue;
        out.push_back({format_video_key(trie.video_index[id]), total > 0.0 ? score / total : 0.0, id});
    }
    std::sort(out.begin(), out.end(), [&](const RankedVideo& a, const RankedVideo& b) {
        if (a.share != b.share) return a.share > b.share;
        return trie.video_index[a.video] < trie.video_index[b.video];
    });
    if (out.size() > options.k) out.resize(options.k);
    return out;
}

SuggestOptions read_options(Tail& tail) {
    SuggestOptions options;
    const std::uint8_t k = tail.byte();
    options.k = k < 240 ? k % 24 : k == 255 ? ~std::uint64_t{0} : std::uint64_t{k} << 20;
    const std::uint8_t d = tail.byte();
    if (d < 128) options.max_dist = d < 120 ? d % 5 : d == 127 ? 0xFFFF'FFFFu : (d - 112u) * 4u;
    options.transpositions = (tail.byte() & 1) == 0;
    return options;
}

std::string describe(const SuggestOptions& o, std::u32string_view query) {
    return "k " + std::to_string(o.k) + ", max_dist " + (o.max_dist ? std::to_string(*o.max_dist) : "auto") +
           (o.transpositions ? ", swaps" : ", no swaps") + ", query length " + std::to_string(query.size());
}

bool same_videos(const std::vector<RankedVideo>& a, const std::vector<RankedVideo>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.key == y.key && std::memcmp(&x.share, &y.share, sizeof x.share) == 0;
           });
}

}  // namespace

void check_suggestions(const Trie& trie, const TermIndex& terms, std::u32string_view query, Tail& tail,
                       bool tangled) {
    const SuggestOptions options = read_options(tail);
    const std::string what = describe(options, query);
    const auto found = attempt("suggest", [&] { return suggest(trie, terms.table, query, options); });
    const auto videos = attempt("suggest_videos", [&] { return suggest_videos(trie, query, options); });
    // A table that cannot serve refuses every question that needs it.
    if (!terms.table.unusable.empty() && options.k > 0) CHECK(!found, what);
    if (found) {
        std::string spelt;
        for (const Suggestion& s : *found) {
            spell_term(terms, s.entry, spelt);
            CHECK(utf8::is_valid(spelt) && !spelt.empty(), what);
        }
    }
    // The models are for small trees, where they cost little.
    if (tangled || query.size() > 24 || !terms.table.unusable.empty()) return;
    const auto nodes = reached_nodes(trie, 2000);
    if (!nodes) return;
    CHECK(found.has_value(), what + ": " + last_failure);
    const std::vector<Suggestion> expected = model_suggest(trie, terms, *nodes, query, options);
    CHECK(found->size() == expected.size(), what);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        CHECK((*found)[i].entry == expected[i].entry && (*found)[i].distance == expected[i].distance &&
                  (*found)[i].weight == expected[i].weight,
              what + ", at " + std::to_string(i));
    }
    const auto model = model_videos(trie, *nodes, query, options);
    CHECK(model.has_value() == videos.has_value(), what);
    if (model) CHECK(same_videos(*videos, *model), what);
}

void check_extras(const Trie& trie, Tail& tail) {
    std::vector<std::uint8_t> bytes;
    if (tail.byte() & 1) bytes = {'Q', 'X', 'T', 1};
    for (std::size_t n = tail.byte() % 40; n > 0; --n) bytes.push_back(tail.byte());
    const auto extras = attempt("decode_extras", [&] { return decode_extras(bytes); });
    if (!extras) {
        CHECK(last_failure.starts_with("InputError: extras: "), last_failure);
        return;
    }
    const auto terms = attempt("term_index_from_extras", [&] { return term_index_from_extras(trie, *extras); });
    if (!terms) return;
    // What decodes encodes to itself, and decodes again to the same.
    const std::vector<std::uint8_t> again = encode_extras(trie, *terms);
    CHECK(again == bytes || !extras->overrides.empty(), "extras re-encode differently");
    const auto decoded = attempt("extras again", [&] { return term_index_from_extras(trie, decode_extras(again)); });
    CHECK(decoded.has_value() && *decoded == *terms, last_failure);
    CHECK(encode_extras(trie, *decoded) == again);
}

}  // namespace fuzz
