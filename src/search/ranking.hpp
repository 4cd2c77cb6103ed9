// Ranking of the videos behind the nodes that a query reaches.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

using KeyText = std::array<char, 36>;  // 8-4-4-4-12 lowercase hex

struct RankedVideo {
    KeyText key;
    double share;
    std::uint32_t video;  // its id: index into video_index
};

KeyText format_video_key(const VideoKey& key);

// Videos ranked by their share of the weighted total, highest first, each
// share at least 0.01; cut to `limit` when given. `include_prefix_nodes`
// absent picks term ends first and falls back to prefix nodes.
std::vector<RankedVideo> fuzzy_match_video(const Trie& trie, std::string_view term,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint64_t> limit,
                                           std::optional<bool> include_prefix_nodes);

}  // namespace quellnor
