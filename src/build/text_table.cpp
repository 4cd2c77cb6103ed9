#include "build/text_table.hpp"

#include <cstring>
#include <stdexcept>

namespace quellnor {

namespace {

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xd6e8'feb8'6659'fd93ull;
    x ^= x >> 32;
    x *= 0xd6e8'feb8'6659'fd93ull;
    return x ^ (x >> 32);
}

}  // namespace

std::uint64_t hash_bytes(std::string_view text) {
    std::uint64_t h = 0x9e37'79b9'7f4a'7c15ull ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = (h ^ word) * 0xff51'afd7'ed55'8ccdull;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    return mix(h ^ tail);
}

std::optional<std::uint32_t> TextTable::find(std::string_view text, std::uint64_t hash) const {
    return probe(hash, [&](std::uint32_t id) { return this->text(id) == text; });
}

std::uint32_t TextTable::intern(std::string_view text, std::uint64_t hash) {
    if (const auto found = find(text, hash)) return *found;
    return add_new(text, hash);
}

std::uint32_t TextTable::add_new(std::string_view text, std::uint64_t hash) {
    if (size() >= kMaxSize) throw std::length_error("more distinct strings than a 32-bit number holds");
    if (2 * (size() + 1) > slots_.size()) grow();
    const auto id = static_cast<std::uint32_t>(size());
    hashes_.push_back(hash);
    try {
        ends_.push_back(pool_.size() + text.size());
        pool_.append(text);
    } catch (...) {
        // Out of memory: the table stays as it was.
        if (ends_.size() > hashes_.size()) ends_.pop_back();
        hashes_.pop_back();
        throw;
    }
    std::size_t s = slot_of(hash);
    while (slots_[s] != kEmpty) s = (s + 1) & (slots_.size() - 1);
    slots_[s] = slot_value(id, hash);
    return id;
}

void TextTable::grow() {
    slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), kEmpty);
    for (std::uint32_t id = 0; id < size(); ++id) {
        std::size_t s = slot_of(hashes_[id]);
        while (slots_[s] != kEmpty) s = (s + 1) & (slots_.size() - 1);
        slots_[s] = slot_value(id, hashes_[id]);
    }
}

void TextTable::truncate(std::size_t size) {
    while (this->size() > size) erase_last();
}

// Backward-shift deletion: every id after the hole that probed past it moves
// into it, so no probe chain is left broken and no tombstone is needed.
void TextTable::erase_last() {
    const auto id = static_cast<std::uint32_t>(size() - 1);
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = slot_of(hashes_[id]);
    while (id_in(slots_[hole]) != id) hole = (hole + 1) & mask;
    for (std::size_t s = (hole + 1) & mask; slots_[s] != kEmpty; s = (s + 1) & mask) {
        const std::size_t home = slot_of(hashes_[id_in(slots_[s])]);
        // Moves unless its home lies cyclically in (hole, s].
        const bool stays = hole <= s ? (hole < home && home <= s) : (hole < home || home <= s);
        if (!stays) {
            slots_[hole] = slots_[s];
            hole = s;
        }
    }
    slots_[hole] = kEmpty;
    hashes_.pop_back();
    ends_.pop_back();
    pool_.resize(ends_.back());
}

void LookupsAhead::tell(const TextTable& table, std::string_view text) {
    const std::uint64_t hash = hash_bytes(text);
    table.prefetch_hash(hash);
    told_[count_ % told_.size()] = {hash, kNone};
    if (count_ >= kStep) {
        Told& earlier = told_[(count_ - kStep) % told_.size()];
        if (const auto id = table.candidate(earlier.hash)) {
            earlier.id = *id;
            table.prefetch_place(*id);
        }
    }
    if (count_ >= 2 * kStep) {
        const Told& earlier = told_[(count_ - 2 * kStep) % told_.size()];
        // A batch rolled back meanwhile may have taken the string away.
        if (earlier.id != kNone && earlier.id < table.size()) table.prefetch_text(earlier.id);
    }
    ++count_;
}

std::size_t TextTable::memory() const {
    return pool_.capacity() + 8 * ends_.capacity() + 8 * hashes_.capacity() + 8 * slots_.capacity();
}

}  // namespace quellnor
