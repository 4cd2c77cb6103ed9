// Room for a short text of code points without a heap block.
#pragma once

#include <cstddef>
#include <string>

namespace quellnor {

// Room for a text of code points: in place up to kInPlace of them, which
// holds nearly every query and every path to a hit, so that a walk needs no
// heap block for either; on the heap beyond that.
class CodePointBuffer {
public:
    CodePointBuffer() {}  // the room in place is written before it is read
    CodePointBuffer(const CodePointBuffer&) = delete;
    CodePointBuffer& operator=(const CodePointBuffer&) = delete;

    // Room for `n` code points, valid until the next call.
    char32_t* room(std::size_t n) {
        if (n <= kInPlace) return in_place_;
        spilled_.resize(n);
        return spilled_.data();
    }

private:
    static constexpr std::size_t kInPlace = 64;
    char32_t in_place_[kInPlace];
    std::u32string spilled_;
};

}  // namespace quellnor
