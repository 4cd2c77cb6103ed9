// Distinct byte strings, each numbered in the order it was first added: the
// builder's terms, spellings and videos. One pool of bytes and one probe
// array for any number of strings, so that millions of rows cost a few
// allocations rather than a heap block per string.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellnor {

// A hash of any bytes, good enough for tables keyed by caller text.
std::uint64_t hash_bytes(std::string_view text);

class TextTable {
public:
    static constexpr std::uint32_t kMaxSize = 0xFFFF'FFFEu;  // ids below 2**32 - 1: no slot looks empty

    std::size_t size() const { return hashes_.size(); }
    std::string_view text(std::uint32_t id) const {
        return {pool_.data() + ends_[id], static_cast<std::size_t>(ends_[id + 1] - ends_[id])};
    }
    std::optional<std::uint32_t> find(std::string_view text) const { return find(text, hash_bytes(text)); }
    // The same, for a caller that has the text's hash_bytes at hand.
    std::optional<std::uint32_t> find(std::string_view text, std::uint64_t hash) const;
    // Bring into cache where text(id) begins, and before that where its
    // place in the pool is kept: a reader of the strings in an order of
    // its own tells the table, a few strings ahead, the second, and further
    // ahead the first.
    void prefetch_text(std::uint32_t id) const { __builtin_prefetch(pool_.data() + ends_[id]); }
    void prefetch_place(std::uint32_t id) const { __builtin_prefetch(ends_.data() + id); }
    // Brings into cache the slot where a lookup of `text` starts. In a table
    // larger than the cache that slot is a miss, most of what a lookup costs;
    // a reader that knows its keys a few rows ahead hides it.
    void prefetch(std::string_view text) const { prefetch_hash(hash_bytes(text)); }
    void prefetch_hash(std::uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(slots_.data() + slot_of(hash));
    }
    // The first string whose text a lookup of `hash` would compare, if any.
    std::optional<std::uint32_t> candidate(std::uint64_t hash) const {
        return probe(hash, [](std::uint32_t) { return true; });
    }
    // The number of `text`, added when it is new.
    std::uint32_t intern(std::string_view text) { return intern(text, hash_bytes(text)); }
    std::uint32_t intern(std::string_view text, std::uint64_t hash);
    // Adds `text`, which the caller found absent; returns its number.
    std::uint32_t add_new(std::string_view text) { return add_new(text, hash_bytes(text)); }
    std::uint32_t add_new(std::string_view text, std::uint64_t hash);
    // Forgets every string numbered `size` or later, as if never added.
    void truncate(std::size_t size);
    std::size_t memory() const;

private:
    // A slot holds an id in its low half and the top of its hash in the
    // high half, so that a probe passes other strings without reading them.
    static constexpr std::uint64_t kEmpty = UINT64_MAX;
    static std::uint64_t slot_value(std::uint32_t id, std::uint64_t hash) { return (hash & ~0xFFFF'FFFFull) | id; }
    static std::uint32_t id_in(std::uint64_t slot) { return static_cast<std::uint32_t>(slot); }
    std::size_t slot_of(std::uint64_t hash) const { return hash & (slots_.size() - 1); }
    // The first id on the probe path of `hash` whose slot has its tag and
    // that `matches`, or none by the first empty slot.
    template <class Matches>
    std::optional<std::uint32_t> probe(std::uint64_t hash, Matches matches) const {
        if (slots_.empty()) return std::nullopt;
        const std::uint64_t tag = slot_value(0, hash);
        for (std::size_t s = slot_of(hash);; s = (s + 1) & (slots_.size() - 1)) {
            const std::uint64_t slot = slots_[s];
            if (slot == kEmpty) return std::nullopt;
            if ((slot & ~0xFFFF'FFFFull) == tag && matches(id_in(slot))) return id_in(slot);
        }
    }
    void grow();
    void erase_last();

    std::string pool_;
    std::vector<std::uint64_t> ends_{0};
    std::vector<std::uint64_t> hashes_;
    std::vector<std::uint64_t> slots_;  // kEmpty where none; linear probing
};

// Brings into cache, for texts looked up in a table one after another, what
// each lookup reads: its slot, then where the string it names is kept, then
// that string's bytes. Each step comes some lookups after the one before,
// when what it reads has come, so that no lookup waits for memory. A
// reader tells each text kDistance lookups before it asks for it. What is
// told is only ever prefetched: a text told out of turn, or not at all,
// costs its lookup the misses, never a wrong answer.
class LookupsAhead {
public:
    static constexpr std::size_t kDistance = 12;
    void tell(const TextTable& table, std::string_view text);

private:
    static constexpr std::size_t kStep = kDistance / 3;
    static constexpr std::uint32_t kNone = 0xFFFF'FFFFu;
    struct Told {
        std::uint64_t hash;
        std::uint32_t id;  // the string its slot names; kNone until known, or when none
    };
    std::array<Told, 16> told_{};  // by count_, modulo its size
    std::size_t count_ = 0;
    static_assert(2 * kStep < 16);
};

}  // namespace quellnor
