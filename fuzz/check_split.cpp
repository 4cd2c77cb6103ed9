// The cut walks (the split walk for term ends, the tail-cut walk for every
// node) against the plain walk, on whatever trie an input decodes to.
#include "check_split.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "search/matcher.hpp"
#include "search/split_walk.hpp"
#include "suggest/active_nodes.hpp"
#include "text/code_point_buffer.hpp"
#include "text/utf8.hpp"

namespace fuzz {

using namespace quellnor;

namespace {

bool same_terms(const std::vector<MatchResult>& a, const std::vector<MatchResult>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].term != b[i].term || a[i].node_id != b[i].node_id || a[i].distance != b[i].distance)
            return false;
    return true;
}

template <class Call>
void compare(const char* what, Call&& call, const Trie& trie, const Trie& plain) {
    const auto split = attempt(what, [&] { return call(trie); });
    const std::string split_failure = split ? std::string() : last_failure;
    const auto walked = attempt(what, [&] { return call(plain); });
    CHECK(split.has_value() == walked.has_value(), std::string(what) + ": only one walk failed");
    if (!split) CHECK(split_failure == last_failure, std::string(what) + ": " + split_failure + " / " + last_failure);
    else CHECK(same_terms(*split, *walked), std::string(what) + ": the split walk and the plain walk disagree");
}

}  // namespace

Trie plain_copy(const Trie& trie) {
    Trie plain = trie;
    plain.slots_follow_nodes = false;
    plain.breadth_first_tree = false;
    return plain;
}

void check_split_walk(const Trie& trie, const Trie& plain, std::string_view term, std::uint32_t max_dist,
                      std::optional<std::uint64_t> limit) {
    compare("split fuzzy_match", [&](const Trie& t) { return fuzzy_match(t, term, max_dist, std::nullopt); },
            trie, plain);
    if (limit)
        compare("split fuzzy_match limited", [&](const Trie& t) { return fuzzy_match(t, term, max_dist, limit); },
                trie, plain);
    CodePointBuffer buffer;
    const std::u32string_view query = utf8::decode(term, buffer);
    // A limited fuzzy_match on a trie this small ends within the plain walk's
    // allowance: the split walk's own limit is checked directly, against
    // the first hits of its unlimited walk.
    if (limit && search::split_walk_serves(query.size(), max_dist, true)) {
        const std::size_t wanted = static_cast<std::size_t>(std::clamp<std::uint64_t>(*limit, 1, 1u << 20));
        const auto hits = [&](std::optional<std::size_t> want) {
            search::Budget budget;
            search::SplitMatches out;
            (void)search::split_walk(trie, query, max_dist, want, false, budget, out);
            return out.hits;
        };
        const auto all = attempt("split walk unlimited", [&] { return hits(std::nullopt); });
        const auto first = attempt("split walk limited", [&] { return hits(wanted); });
        if (all && first) {
            CHECK(first->size() >= std::min(wanted, all->size()), "the limited split walk found too few hits");
            for (std::size_t i = 0; i < std::min(wanted, first->size()); ++i)
                CHECK(i < all->size() && (*first)[i].node == (*all)[i].node &&
                          (*first)[i].distance == (*all)[i].distance,
                      "the limited split walk's first hits are not the unlimited walk's");
        }
    }
    // The node matcher takes the split walk for term ends and the tail-cut
    // walk for every node: spelt as terms, its hits compare as fuzzy_match's
    // do. Walks to every node under suggest (either way, with or without
    // swaps) are held to the plain walk on the trie itself, which keeps
    // their `above`.
    const auto node_matches = [&](bool terminal_only) {
        return [&, terminal_only](const Trie& t) {
            std::vector<MatchResult> out;
            for (const NodeMatch& m : fuzzy_match_nodes(t, query, max_dist, terminal_only))
                out.push_back({std::string(), m.node_id, m.distance});
            return out;
        };
    };
    compare("split term ends", node_matches(true), trie, plain);
    compare("tail-cut every node", node_matches(false), trie, plain);
    for (const bool swaps : {false, true}) {
        const auto reached = [&](bool cut) {
            search::Budget budget;
            return cut ? active_nodes(trie, query, max_dist, swaps, budget)
                       : plain_active_nodes(trie, query, max_dist, swaps, budget);
        };
        const auto cut = attempt("tail-cut active nodes", [&] { return reached(true); });
        const std::string cut_failure = cut ? std::string() : last_failure;
        const auto walked = attempt("plain active nodes", [&] { return reached(false); });
        CHECK(cut.has_value() == walked.has_value(), "active nodes: only one walk failed");
        if (!cut) {
            CHECK(cut_failure == last_failure, "active nodes: " + cut_failure + " / " + last_failure);
            continue;
        }
        CHECK(cut->size() == walked->size(), "the tail-cut walk and the plain walk reach different nodes");
        for (std::size_t i = 0; i < cut->size(); ++i) {
            const ActiveNode& a = (*cut)[i];
            const ActiveNode& b = (*walked)[i];
            CHECK(a.node == b.node && a.distance == b.distance && a.depth == b.depth && a.above == b.above,
                  "the tail-cut walk and the plain walk disagree on a node");
        }
    }
}

}  // namespace fuzz
