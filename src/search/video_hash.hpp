// The hash that places video ids in the ranking's score table.
#pragma once

#include <array>
#include <cstdint>

namespace quellnor::search {

// Simple tabulation: a table of random words for each byte of the id, the
// words of its four bytes xored together. The tables are drawn once per
// process, on first need, from the operating system's random source, so an
// index written beforehand cannot pick ids that share slots; and whatever
// the ids, linear probing with tabulation takes a constant number of probes
// on average (Patrascu and Thorup, "The power of simple tabulation
// hashing"), where a multiplier, even a secret one, is known to cluster
// for some sets. It costs four table reads where a multiplier costs one
// multiplication, which is why the score table turns to it only when ids
// defeat its multiplier.
class VideoHash {
public:
    // The process's hash, drawn on first use.
    static const VideoHash& process_wide();

    std::uint64_t operator()(std::uint32_t video) const {
        return tables_[0][video & 0xFF] ^ tables_[1][(video >> 8) & 0xFF] ^
               tables_[2][(video >> 16) & 0xFF] ^ tables_[3][video >> 24];
    }

private:
    VideoHash();

    std::array<std::array<std::uint64_t, 256>, 4> tables_;
};

}  // namespace quellnor::search
