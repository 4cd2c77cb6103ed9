// The caller's own video ids, for an index whose videos are not UUIDs: a
// str or an int per video, handed back as given in every result. The trie
// then holds a key per video that only orders them (the rank of its id), and
// these are what results show.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quellnor {

enum class VideoIdKind : std::uint8_t { none = 0, uuid = 1, text = 2, integer = 3 };

struct GivenVideoIds {
    // none: the trie's keys are the videos (UUIDs); text or integer: these ids are.
    VideoIdKind kind = VideoIdKind::none;
    // Per video number, one after another: UTF-8 for text, 8 bytes (two's
    // complement, little-endian) for integer.
    std::string pool;
    std::vector<std::uint64_t> ends{0};

    bool given() const { return kind == VideoIdKind::text || kind == VideoIdKind::integer; }
    std::size_t size() const { return ends.size() - 1; }
    std::string_view at(std::size_t video) const {
        return std::string_view(pool).substr(ends[video], ends[video + 1] - ends[video]);
    }
    void push(std::string_view id) {
        pool.append(id);
        ends.push_back(pool.size());
    }
    std::int64_t integer_at(std::size_t video) const;

    bool operator==(const GivenVideoIds&) const = default;
};

// The 8 bytes an int id is kept as, and back.
std::string integer_id_key(std::int64_t id);
std::int64_t integer_of_key(std::string_view key);

}  // namespace quellnor
