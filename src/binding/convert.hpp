// Python objects to native values and back. Each conversion throws the
// exception its rule calls for; the frame turns it into the Python one.
#pragma once

#include "binding/convert_pypy.hpp"
#include "binding/errors.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "search/matcher.hpp"
#include "search/ranking.hpp"
#include "suggest/video_ids.hpp"
#include "trie/build.hpp"
#include "trie/trie.hpp"

namespace quellnor::binding {

// Text and bytes read in place, with what keeps them valid: nothing, or on
// PyPy the copy of a subclass's storage that they were read from.
struct HeldText {
    std::string_view utf8;
    Ref keeper;
};
struct HeldBytes {
    std::span<const std::uint8_t> data;
    Ref keeper;
};

std::uint32_t to_u32(PyObject* value);
std::uint8_t to_u8(PyObject* value);
std::uint64_t to_usize(PyObject* value);
HeldText to_text(PyObject* value);
char32_t to_label(PyObject* value);             // first code point, 0 when empty
HeldBytes to_byte_view(PyObject* value);
bool to_bool(PyObject* value);
VideoKeyInput to_video_key(PyObject* value);

// Any sequence except a str, each item converted as it arrives.
template <class Item>
std::vector<Item> to_array(PyObject* value, Item (*convert_item)(PyObject*));
// The same into `items`, whose room is reused.
template <class Item>
void to_array_into(PyObject* value, Item (*convert_item)(PyObject*), std::vector<Item>& items);

// A sequence of optional objects: None becomes an empty reference.
std::vector<Ref> to_optional_objects(PyObject* value);

// An optional argument: absent or None means no value.
template <class Value>
std::optional<Value> to_optional(PyObject* value, Value (*convert)(PyObject*)) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return convert(value);
}

// The caller's payload objects, converted one node at a time by the builder.
class PayloadObjects final : public PayloadSource {
public:
    explicit PayloadObjects(std::vector<Ref> items) : items_(std::move(items)) {}
    std::size_t size() const override { return items_.size(); }
    bool present(std::size_t node) const override { return static_cast<bool>(items_[node]); }
    // Converts into `converted_`, whose room every payload reuses.
    PayloadView convert(std::size_t node) override;

private:
    std::vector<Ref> items_;
    Payload converted_;
#ifdef PYPY_VERSION
    std::optional<pypy::UnboxedPayloads> unboxed_;
    bool unboxing_tried_ = false;
#endif
};

// Results.
PyObject* to_python(std::string_view text);
// The query text as the caller passed it, and its UTF-8.
struct QueryText {
    PyObject* object;
    std::string_view utf8;
};
PyObject* match_list(const Trie& index, std::vector<MatchResult>&& matches, const QueryText& query);
#ifdef PYPY_VERSION
// `key_strings` caches one string per video id across calls on one index.
PyObject* ranked_list(std::vector<RankedVideo>&& videos, std::vector<PyObject*>& key_strings);
#else
PyObject* ranked_list(std::vector<RankedVideo>&& videos);
#endif
// The same with the caller's own ids in place of the keys.
PyObject* given_id_list(const std::vector<RankedVideo>& videos, const GivenVideoIds& ids);

}  // namespace quellnor::binding
