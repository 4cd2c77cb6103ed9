#include "suggest/spellings.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "fault.hpp"
#include "text/utf8.hpp"

namespace quellnor {

Spellings::Spellings(std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.first < b.first; });
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [node, text] = entries[i];
        if (i > 0 && node == entries[i - 1].first)
            throw InputError("two display spellings for node " + std::to_string(node));
        if (text.empty() || text.find('\0') != std::string_view::npos || !utf8::is_valid(text))
            throw InputError("the display spelling of node " + std::to_string(node) +
                             " is not a non-empty UTF-8 text without U+0000");
        bytes += entries[i].second.size();
    }
    if (bytes > 0xFFFF'FFFFu) throw std::bad_alloc();  // positions in the pool are 32-bit
    nodes_.reserve(entries.size());
    ends_.reserve(entries.size());
    pool_.reserve(bytes);
    for (const auto& [node, text] : entries) {
        nodes_.push_back(node);
        pool_.append(text.begin(), text.end());
        ends_.push_back(static_cast<std::uint32_t>(pool_.size()));
    }
}

Spellings Spellings::viewing(std::span<const std::uint32_t> nodes, std::span<const std::uint32_t> ends,
                             std::span<const char> pool) {
    if (nodes.size() != ends.size()) throw InputError("spellings: one end per node");
    Spellings spellings;
    spellings.nodes_ = Array<std::uint32_t>::viewing(nodes.data(), nodes.size());
    spellings.ends_ = Array<std::uint32_t>::viewing(ends.data(), ends.size());
    spellings.pool_ = Array<char>::viewing(pool.data(), pool.size());
    return spellings;
}

std::optional<std::string_view> Spellings::of(std::uint32_t node) const {
    const auto found = std::lower_bound(nodes_.begin(), nodes_.end(), node);
    if (found == nodes_.end() || *found != node) return std::nullopt;
    return at(static_cast<std::size_t>(found - nodes_.begin())).second;
}

Spellings::Entry Spellings::at(std::size_t i) const {
    // Ends from a file are read as they are: a text runs from the previous
    // end, and one that leaves the pool or runs backwards is a fault.
    const std::uint32_t begin = i == 0 ? 0 : checked_at(ends_, i - 1);
    const std::uint32_t end = checked_at(ends_, i);
    if (begin > end || end > pool_.size()) throw Fault("a display spelling outside its pool");
    return {checked_at(nodes_, i), std::string_view(pool_.data() + begin, end - begin)};
}

}  // namespace quellnor
