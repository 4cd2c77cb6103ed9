// Sorting texts by their code points in words rather than one at a time:
// the code points a set of texts holds, ranked, take few bits each, so that
// several fit in one integer key, and integer keys sort by counting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quellnor {

// The code points of `texts` as numbers from 1 in the same order; 0 stays
// free for the end of a text, which sorts before any code point.
class CodeRanks {
public:
    explicit CodeRanks(std::span<const char32_t> texts);

    // The rank of a code point of the texts.
    std::uint32_t operator()(char32_t c) const;
    // The bits any rank fits in.
    int bits() const { return bits_; }
    // How many ranks fit in one key.
    int per_key() const { return 64 / bits_; }

private:
    static constexpr char32_t kDirect = 0x10000;  // the Basic Multilingual Plane, by a table
    std::vector<std::uint32_t> low_;
    std::vector<char32_t> high_;  // any beyond, sorted
    std::uint32_t high_first_ = 0;
    int bits_ = 1;
};

// Sorts `keys` and `items` alike by the low `bits` of the keys, a few bits
// a pass, keeping the order of equal keys.
void sort_by_counting(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& items, int bits);

// Calls `run(begin, end)` for each run of neighbours in [first, last) that
// `same(begin, at)` holds for: what a sort by a leading key leaves tied, to
// be told apart by what follows.
template <class Same, class Run>
void for_each_run(std::size_t first, std::size_t last, Same&& same, Run&& run) {
    for (std::size_t begin = first; begin < last;) {
        std::size_t end = begin + 1;
        while (end < last && same(begin, end)) ++end;
        run(begin, end);
        begin = end;
    }
}

}  // namespace quellnor
