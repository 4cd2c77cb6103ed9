// A row's three objects to the numbers a RowTable keeps: the spelling (its
// term folded once, by the caller's fold function), the video and the
// count. A value that cannot be stored throws RowRefused with the reason;
// the builder names the row around it.
#pragma once

#include "binding/ref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "build/row_table.hpp"

namespace quellnor::binding {

class RowRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The numbers of objects seen lately in a batch, by identity: rows that
// repeat the same term or video object are converted once. Each object is
// held while remembered, so that no other can take its address, and only
// kinds that cannot change (exact str, int and uuid.UUID) are remembered.
class RecentObjects {
public:
    std::optional<std::uint32_t> find(PyObject* object) const {
        const std::size_t at = place(object);
        if (objects_[at].get() == object) return numbers_[at];
        return std::nullopt;
    }
    void remember(PyObject* object, std::uint32_t number) {
        const std::size_t at = place(object);
        objects_[at] = Ref::borrowed(object);
        numbers_[at] = number;
    }

private:
    static constexpr std::size_t kSize = 1024;
    static std::size_t place(PyObject* object) { return (reinterpret_cast<std::uintptr_t>(object) >> 4) % kSize; }
    std::array<Ref, kSize> objects_{};
    std::array<std::uint32_t, kSize> numbers_{};
};

// What a batch remembers of its terms and videos.
struct RecentRows {
    RecentObjects terms, videos;
};

// `fold` is a callable returning the folded str, or null to keep terms as
// given. Adds new spellings and videos to `rows` (the caller rolls them back
// when the batch fails); adds no row.
RowNumbers convert_row(RowTable& rows, PyObject* fold, PyObject* term, PyObject* video, PyObject* count,
                       RecentRows* recent = nullptr);

// The parts of convert_row, for values read from columns as well as
// objects. `object` is the str whose UTF-8 `text` is, or null for text from
// a column (then checked to be UTF-8).
std::uint32_t spelling_of_text(RowTable& rows, PyObject* fold, std::string_view text, PyObject* object);
std::uint32_t spelling_of(RowTable& rows, PyObject* fold, PyObject* term);
// A UUID's text makes a UUID unless the videos are str ids; any other text a str id.
std::uint32_t video_of_text(RowTable& rows, std::string_view text);
std::uint32_t video_of_integer(RowTable& rows, std::int64_t id);
std::uint32_t video_of(RowTable& rows, PyObject* video);
std::uint64_t count_of_double(double value);
std::uint64_t count_of_signed(std::int64_t value);
std::uint64_t count_of(PyObject* count);

// repr(value) for a message: cut short, and never failing itself.
std::string shown(PyObject* value);

}  // namespace quellnor::binding
