// Nodes visited per query, by the walks as they ship and by the plain walk.
//
//   quellnor_walk_cost INDEX TERMS PREFIXES
//
// Built against a copy of the core compiled with QUELLNOR_COUNT_ROWS, which
// counts every row a walk computes (one per child tried: a node visited).
// TERMS feed fuzzy_match at distances 0 to 3 and PREFIXES feed
// fuzzy_match_video at distance 1; both feed its walk over every node
// within reach (what it falls back to when no term ends there) at
// distances 1 and 2, the walk under suggest and suggest_videos (with swaps,
// at their automatic threshold), and suggest and suggest_videos
// themselves, one UTF-8 query per line. "plain" is the walk every query
// took before the cut walks: the bounded walk over the whole index, run
// through the same choice of rows and walk. Prints one JSON object: per
// call, the mean nodes
// visited and the median nanoseconds per query, both ways.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "search/choose_walk.hpp"
#include "search/matcher.hpp"
#include "search/ranking.hpp"
#include "search/row_count.hpp"
#include "suggest/active_nodes.hpp"
#include "suggest/completion_table.hpp"
#include "suggest/suggest.hpp"
#include "text/utf8.hpp"

static_assert(quellnor::search::kCountRows, "build this program against the counting core");

namespace {

using namespace quellnor;

// The term ends within reach, or every node, as the plain walk finds them.
struct EndsReporter {
    const Trie& trie;
    std::vector<std::size_t>& out;
    bool every_node = false;
    bool may_stop_early() const { return false; }
    bool wants(std::size_t node) const { return every_node || trie.is_terminal[node] != 0; }
    template <class Path>
    bool operator()(std::size_t node, std::uint32_t, const Path&) {
        out.push_back(node);
        return false;
    }
};

std::vector<std::string> read_lines(const char* path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Mean rows and median ns of `call` over the queries.
template <class Call>
std::string cost(const std::vector<std::string>& queries, Call&& call) {
    for (const std::string& q : queries) call(q);  // warm-up, and the derivation on first use
    std::vector<std::int64_t> ns;
    const std::uint64_t rows_before = search::rows_computed;
    for (const std::string& q : queries) {
        const auto start = std::chrono::steady_clock::now();
        call(q);
        ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ns.begin(), ns.end());
    const double rows = static_cast<double>(search::rows_computed - rows_before) / queries.size();
    return "{\"nodes\": " + std::to_string(rows) + ", \"median_ns\": " + std::to_string(ns[ns.size() / 2]) + "}";
}

std::u32string decoded(const std::string& text) { return utf8::decode(text); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: quellnor_walk_cost INDEX TERMS PREFIXES\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    const Trie trie = decode(bytes);
    const std::vector<std::string> terms = read_lines(argv[2]);
    const std::vector<std::string> prefixes = read_lines(argv[3]);
    const auto plain_ends = [&](const std::string& q, std::uint32_t d, bool every_node = false) {
        std::vector<std::size_t> out;
        search::Budget budget;
        EndsReporter report{trie, out, every_node};
        search::choose_walk(trie, decoded(q), d, budget, report);
        return out;
    };
    std::cout << "{";
    for (std::uint32_t d = 0; d <= 3; ++d) {
        std::cout << "\"fuzzy_match d=" << d << "\": {\"shipped\": "
                  << cost(terms, [&](const std::string& q) { return fuzzy_match(trie, q, d, std::nullopt); })
                  << ", \"plain\": " << cost(terms, [&](const std::string& q) { return plain_ends(q, d); })
                  << "}, ";
    }
    // fuzzy_match_video's node walk: term ends first, every node when none.
    const auto plain_video_walk = [&](const std::string& q) {
        if (!plain_ends(q, 1).empty()) return;
        (void)fuzzy_match_nodes(trie, decoded(q), 1, false);
    };
    std::cout << "\"fuzzy_match_video d=1\": {\"shipped\": "
              << cost(prefixes, [&](const std::string& q) { return fuzzy_match_video(trie, q, 1, 10, std::nullopt); })
              << ", \"plain\": " << cost(prefixes, plain_video_walk) << "}, ";
    for (const auto& [name, queries] : {std::pair{"", &prefixes}, std::pair{", misspelt words", &terms}}) {
        for (std::uint32_t d = 1; d <= 2; ++d) {
            std::cout << "\"fuzzy_match_video every node d=" << d << name << "\": {\"shipped\": "
                      << cost(*queries, [&](const std::string& q) { return fuzzy_match_nodes(trie, decoded(q), d, false); })
                      << ", \"plain\": " << cost(*queries, [&](const std::string& q) { return plain_ends(q, d, true); })
                      << "}, ";
        }
    }
    // The walk under suggest and suggest_videos, at their automatic
    // threshold with transpositions: the nodes within reach, found as they
    // ship and by the plain walk alone.
    const auto within_reach = [&](bool plain) {
        return [&, plain](const std::string& q) {
            const std::u32string query = decoded(q);
            search::Budget budget;
            const std::uint32_t d = automatic_max_dist(query.size());
            return plain ? plain_active_nodes(trie, query, d, true, budget)
                         : active_nodes(trie, query, d, true, budget);
        };
    };
    for (const auto& [name, queries] : {std::pair{"prefixes", &prefixes}, std::pair{"misspelt words", &terms}})
        std::cout << "\"suggest's walk, " << name << "\": {\"shipped\": " << cost(*queries, within_reach(false))
                  << ", \"plain\": " << cost(*queries, within_reach(true)) << "}, ";
    const CompletionTable table = derive_completion_table(trie, {});
    std::cout << "\"suggest\": {\"shipped\": "
              << cost(prefixes, [&](const std::string& q) { return suggest(trie, table, decoded(q), {}); })
              << "}, \"suggest_videos\": {\"shipped\": "
              << cost(prefixes, [&](const std::string& q) { return suggest_videos(trie, decoded(q), {}); })
              << "}, ";
    // The misspelt words, most of them six code points or more: the keystrokes
    // whose walks go to distance 2.
    std::cout << "\"suggest, misspelt words\": {\"shipped\": "
              << cost(terms, [&](const std::string& q) { return suggest(trie, table, decoded(q), {}); })
              << "}, \"suggest_videos, misspelt words\": {\"shipped\": "
              << cost(terms, [&](const std::string& q) { return suggest_videos(trie, decoded(q), {}); })
              << "}}\n";
    return 0;
}
