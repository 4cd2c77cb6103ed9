#include "suggest/video_ids.hpp"

#include <cstring>

namespace quellnor {

std::string integer_id_key(std::int64_t id) {
    auto bits = static_cast<std::uint64_t>(id);
    std::string key(8, '\0');
    for (std::size_t i = 0; i < 8; ++i, bits >>= 8) key[i] = static_cast<char>(bits & 0xFF);
    return key;
}

std::int64_t integer_of_key(std::string_view key) {
    std::uint64_t bits = 0;
    for (std::size_t i = key.size(); i-- > 0;) bits = bits << 8 | static_cast<std::uint8_t>(key[i]);
    return static_cast<std::int64_t>(bits);
}

std::int64_t GivenVideoIds::integer_at(std::size_t video) const { return integer_of_key(at(video)); }

}  // namespace quellnor
