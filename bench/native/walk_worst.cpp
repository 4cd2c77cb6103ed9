// The worst case of the shipped walks against the plain walk, query by query.
//
//   quellnor_walk_worst INDEX CASES [--again]
//
// CASES holds one case per line: max_dist, limit ("-" for none) and the
// UTF-8 query, separated by tabs. Each case is timed both ways, the shipped
// fuzzy_match and the plain walk (fuzzy_match_plain, the bounded walk over
// the whole index that every query took before the split walk); or, where
// the limit reads "nodes" ("nodes-lev"), the walk to every node within reach
// under suggest and suggest_videos (fuzzy_match_video's, which counts no
// swaps) as it ships and by the plain walk alone (plain_active_nodes);
// alternating, the best of a few rounds each; the cases that came out worst
// are timed again over many more rounds, since one slow round on a
// shared machine makes any case look bad. Prints one JSON object: the cases,
// the ratio at a few quantiles, how many exceed 1.10, and the worst ones (as
// many as were timed again). With --again, every case gets the many rounds:
// for the worst ones of an earlier run, timed in a fresh process.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "search/matcher.hpp"
#include "suggest/active_nodes.hpp"
#include "text/code_point_buffer.hpp"
#include "text/utf8.hpp"

namespace {

using namespace quellnor;

// Which walk a case times.
enum class Walk { terms, nodes, nodes_without_swaps };

struct Case {
    std::uint32_t max_dist;
    std::optional<std::uint64_t> limit;
    std::string query;
    Walk walk = Walk::terms;
    double ratio = 0;
    std::int64_t shipped_ns = 0, plain_ns = 0;
};

std::vector<Case> read_cases(const char* path) {
    std::ifstream in(path);
    std::vector<Case> cases;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string dist, limit, query;
        std::getline(fields, dist, '\t');
        std::getline(fields, limit, '\t');
        std::getline(fields, query);
        Case c{static_cast<std::uint32_t>(std::stoul(dist)), std::nullopt, query};
        if (limit == "nodes") c.walk = Walk::nodes;
        else if (limit == "nodes-lev") c.walk = Walk::nodes_without_swaps;
        else if (limit != "-") c.limit = std::stoull(limit);
        cases.push_back(std::move(c));
    }
    return cases;
}

template <class Call>
std::int64_t once_ns(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// Best of `rounds` alternating runs of each walk.
void time_case(const Trie& trie, Case& c, int rounds) {
    const bool swaps = c.walk == Walk::nodes;
    const auto shipped = [&] {
        CodePointBuffer buffer;
        search::Budget budget;
        if (c.walk == Walk::terms) (void)fuzzy_match(trie, c.query, c.max_dist, c.limit);
        else (void)active_nodes(trie, utf8::decode(c.query, buffer), c.max_dist, swaps, budget);
    };
    const auto plain = [&] {  // as fuzzy_match ran every query before its other walks
        CodePointBuffer buffer;
        search::Budget budget;
        if (c.walk == Walk::terms) (void)fuzzy_match_plain(trie, utf8::decode(c.query, buffer), c.max_dist, c.limit);
        else (void)plain_active_nodes(trie, utf8::decode(c.query, buffer), c.max_dist, swaps, budget);
    };
    c.shipped_ns = c.plain_ns = INT64_MAX;
    for (int r = 0; r < rounds; ++r) {
        c.shipped_ns = std::min(c.shipped_ns, once_ns(shipped));
        c.plain_ns = std::min(c.plain_ns, once_ns(plain));
    }
    c.ratio = static_cast<double>(c.shipped_ns) / static_cast<double>(std::max<std::int64_t>(c.plain_ns, 1));
}

std::string describe(const Case& c) {
    std::string query;
    for (const char ch : c.query) {
        if (ch == '"' || ch == '\\') query += '\\';
        query += ch;
    }
    const std::string limit = c.walk == Walk::nodes                 ? "\"nodes\""
                              : c.walk == Walk::nodes_without_swaps ? "\"nodes-lev\""
                              : c.limit                             ? std::to_string(*c.limit)
                                                                    : std::string("null");
    return "{\"query\": \"" + query + "\", \"max_dist\": " + std::to_string(c.max_dist) +
           ", \"limit\": " + limit +
           ", \"shipped_ns\": " + std::to_string(c.shipped_ns) + ", \"plain_ns\": " +
           std::to_string(c.plain_ns) + ", \"ratio\": " + std::to_string(c.ratio) + "}";
}

}  // namespace

int main(int argc, char** argv) {
    const bool again_only = argc == 4 && std::string(argv[3]) == "--again";
    if (argc != 3 && !again_only) {
        std::cerr << "usage: quellnor_walk_worst INDEX CASES [--again]\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    const Trie trie = decode(bytes);
    std::vector<Case> cases = read_cases(argv[2]);
    if (cases.empty()) {
        std::cerr << "no cases\n";
        return 2;
    }
    (void)fuzzy_match(trie, "warm up", 1, std::nullopt);  // derives the reversed terms
    search::Budget warm;
    (void)active_nodes(trie, U"warm up", 1, true, warm);  // and the tail index
    constexpr int kFew = 5, kMany = 301;
    for (Case& c : cases) time_case(trie, c, again_only ? kMany : kFew);
    const auto worse = [](const Case& a, const Case& b) { return a.ratio > b.ratio; };
    std::sort(cases.begin(), cases.end(), worse);
    const std::size_t again = again_only ? 0 : std::min<std::size_t>(cases.size(), 60);
    for (std::size_t i = 0; i < again; ++i) time_case(trie, cases[i], kMany);
    std::sort(cases.begin(), cases.end(), worse);
    const auto at = [&](double q) {  // the ratio that a share q of the cases exceed
        return cases[std::min(cases.size() - 1, static_cast<std::size_t>(q * cases.size()))].ratio;
    };
    const auto over = std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.ratio > 1.10; });
    // All the time the cases took, shipped over plain: fuzzy_match with a
    // limit, without, and the walks to every node.
    double sums[3][2] = {};
    for (const Case& c : cases) {
        const std::size_t kind = c.walk != Walk::terms ? 2 : c.limit.has_value() ? 1 : 0;
        sums[kind][0] += static_cast<double>(c.shipped_ns);
        sums[kind][1] += static_cast<double>(c.plain_ns);
    }
    const auto total_ratio = [&](std::size_t kind) {
        return sums[kind][1] > 0 ? std::to_string(sums[kind][0] / sums[kind][1]) : std::string("null");
    };
    std::cout << "{\"cases\": " << cases.size() << ", \"over_1.10\": " << over
              << ", \"total_ratio_limited\": " << total_ratio(1)
              << ", \"total_ratio_unlimited\": " << total_ratio(0)
              << ", \"total_ratio_nodes\": " << total_ratio(2) << ", \"ratio_p50\": " << at(0.5)
              << ", \"ratio_p99\": " << at(0.01) << ", \"worst\": [";
    const std::size_t shown = again_only ? cases.size() : std::min(cases.size(), std::max<std::size_t>(again, 5));
    for (std::size_t i = 0; i < shown; ++i)
        std::cout << (i ? ", " : "") << describe(cases[i]);
    std::cout << "]}\n";
    return 0;
}
