// The five methods of PrefixSearch, each a thin translation onto the native
// core, and their table. The same bodies serve IndexCore, whose table adds
// its own methods to these five (index_methods.cpp).
#include <array>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/index_class.hpp"
#include "binding/index_object.hpp"
#include "binding/unlocked.hpp"
#include "codec/codec.hpp"
#include "search/matcher.hpp"
#include "search/ranking.hpp"
#include "trie/build.hpp"

namespace quellnor::binding {
namespace {

constexpr const char* kFromInternalDataParameters[] = {
    "node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"};
constexpr const char* kFromBytesParameters[] = {"b"};
constexpr const char* kFuzzyMatchParameters[] = {"term", "max_dist", "limit"};
constexpr const char* kFuzzyMatchVideoParameters[] = {"term", "max_dist", "limit",
                                                      "include_prefix_nodes"};

constexpr std::uint32_t kDefaultMaxDist = 1;

// The caller's video ids of an IndexCore built with them, else null.
const GivenVideoIds* given_ids_of(PyObject* self) {
    if (!is_index_core(self)) return nullptr;
    const GivenVideoIds& ids = reinterpret_cast<IndexObject*>(self)->terms.video_ids;
    return ids.given() ? &ids : nullptr;
}

std::uint32_t max_dist_or_default(PyObject* value) {
    return value ? convert_argument("max_dist", [&] { return to_u32(value); }) : kDefaultMaxDist;
}

template <const IndexClass& C>
PyObject* from_internal_data_v2(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return call_frame([&] {
        static constexpr FunctionDescription description{C.name, "from_internal_data_v2",
                                                         kFromInternalDataParameters, 6};
        PyObject* slots[6] = {};
        extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        std::vector<std::uint32_t> supplied_totals;
        Trie index = build_from_arguments(slots, supplied_totals);
        return C.create(cls, std::move(index), std::move(supplied_totals));
    });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    return call_frame([&] {
        SharedBorrow borrow(self);
        const std::size_t size = encoded_size(borrow.index());
        Ref bytes(checked_result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
        encode_into(borrow.index(),
                    {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size});
        return bytes.release();
    });
}

template <const IndexClass& C>
PyObject* from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        static constexpr FunctionDescription description{C.name, "from_bytes", kFromBytesParameters, 1};
        PyObject* slots[1] = {};
        extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        const auto data = convert_argument("b", [&] { return to_byte_view(slots[0]); });
        return C.create(cls, decode(data.data), {});
    });
}

// The arguments every query method starts with, converted in parameter order
// from the first three slots.
struct QueryArguments {
    HeldText term;
    std::uint32_t max_dist;
    std::optional<std::uint64_t> limit;
};

QueryArguments query_arguments(PyObject* const* slots) {
    auto term = convert_argument("term", [&] { return to_text(slots[0]); });
    const auto max_dist = max_dist_or_default(slots[1]);
    const auto limit = convert_argument("limit", [&] { return to_optional(slots[2], to_usize); });
    return {std::move(term), max_dist, limit};
}

template <const IndexClass& C>
PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        static constexpr FunctionDescription description{C.name, "fuzzy_match", kFuzzyMatchParameters, 1};
        PyObject* slots[3] = {};
        extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        SharedBorrow borrow(self);
        const QueryArguments q = query_arguments(slots);
        auto matches = without_lock_when_long(
            [&] { return quellnor::fuzzy_match(borrow.index(), q.term.utf8, q.max_dist, q.limit); });
        return match_list(borrow.index(), std::move(matches), {slots[0], q.term.utf8});
    });
}

template <const IndexClass& C>
PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return call_frame([&] {
        static constexpr FunctionDescription description{C.name, "fuzzy_match_video",
                                                         kFuzzyMatchVideoParameters, 1};
        PyObject* slots[4] = {};
        extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        SharedBorrow borrow(self);
        const QueryArguments q = query_arguments(slots);
        const auto include_prefix_nodes =
            convert_argument("include_prefix_nodes", [&] { return to_optional(slots[3], to_bool); });
        auto videos = without_lock_when_long([&] {
            return quellnor::fuzzy_match_video(borrow.index(), q.term.utf8, q.max_dist, q.limit,
                                               include_prefix_nodes);
        });
        if (const GivenVideoIds* ids = given_ids_of(self)) return given_id_list(videos, *ids);
#ifdef PYPY_VERSION
        return ranked_list(std::move(videos), borrow.key_strings());
#else
        return ranked_list(std::move(videos));
#endif
    });
}

// The rows of the five methods, in table order.
template <const IndexClass& C>
std::array<PyMethodDef, 5> specified_rows() {
    return {{
        {"from_internal_data_v2", as_c_function(from_internal_data_v2<C>), kFastcall | C.constructor_kind,
         C.docs[0]},
        {"to_bytes", as_c_function(to_bytes), METH_NOARGS, C.docs[1]},
        {"from_bytes", as_c_function(from_bytes<C>), kFastcall | C.constructor_kind, C.docs[2]},
        {"fuzzy_match", as_c_function(fuzzy_match<C>), kFastcall, C.docs[3]},
        {"fuzzy_match_video", as_c_function(fuzzy_match_video<C>), kFastcall, C.docs[4]},
    }};
}

PyObject* create_prefix_search(PyObject*, Trie&& index, std::vector<std::uint32_t>&&) {
    return create_class_object(std::move(index));
}

constexpr IndexClass kPrefixSearch{
    "PrefixSearch",
    METH_STATIC,
    create_prefix_search,
    {"from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, "
     "video_top_n)\n--\n\n",
     "to_bytes($self)\n--\n\n", "from_bytes(b)\n--\n\n",
     "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n",
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None)\n--\n\n"},
};

constexpr IndexClass kIndexCore{
    "Index",
    METH_CLASS,
    create_index_core,
    {"from_internal_data_v2($type, node_shifts, child_labels, payloads, child_transitions, "
     "video_index, video_top_n)\n--\n\n"
     "Builds an index from a trie flattened into parallel arrays, as PrefixSearch does.",
     "to_bytes($self)\n--\n\nThe trie in the byte form of PrefixSearch.to_bytes.",
     "from_bytes($type, b)\n--\n\n"
     "Loads the byte form of PrefixSearch.to_bytes: terms unfolded, shown as stored.",
     "fuzzy_match($self, term, max_dist=1, limit=None)\n--\n\n"
     "The terms within max_dist edits of term, as PrefixSearch.fuzzy_match finds them.",
     "fuzzy_match_video($self, term, max_dist=1, limit=None, include_prefix_nodes=None)\n--\n\n"
     "The videos behind term, ranked as PrefixSearch.fuzzy_match_video ranks them."},
};

const auto kPrefixSearchRows = specified_rows<kPrefixSearch>();
const auto kIndexCoreRows = specified_rows<kIndexCore>();

PyMethodDef methods[] = {
    kPrefixSearchRows[0], kPrefixSearchRows[1], kPrefixSearchRows[2],
    kPrefixSearchRows[3], kPrefixSearchRows[4], {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Trie build_from_arguments(PyObject* const* slots, std::vector<std::uint32_t>& supplied_totals) {
    auto node_shifts = convert_argument("node_shifts", [&] { return to_array(slots[0], to_u32); });
    auto child_labels = convert_argument("child_labels", [&] { return to_array(slots[1], to_label); });
    PayloadObjects payloads(convert_argument("payloads", [&] { return to_optional_objects(slots[2]); }));
    auto child_transitions =
        convert_argument("child_transitions", [&] { return to_array(slots[3], to_u32); });
    auto video_index = convert_argument("video_index", [&] { return to_array(slots[4], to_video_key); });
    const auto video_top_n = convert_argument("video_top_n", [&] { return to_usize(slots[5]); });
    return build_trie(std::move(node_shifts), std::move(child_labels), payloads,
                      std::move(child_transitions), video_index, video_top_n, &supplied_totals);
}

PyMethodDef* prefix_search_methods() { return methods; }

std::span<const PyMethodDef> specified_index_core_methods() { return kIndexCoreRows; }

}  // namespace quellnor::binding
