// IndexCore's own calls, each a thin translation onto the native core, and
// its method table: the five specified methods, then these.
#include <vector>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/index_class.hpp"
#include "binding/index_object.hpp"
#include "binding/suggest_convert.hpp"
#include "binding/unlocked.hpp"
#include "codec/codec.hpp"
#include "suggest/extras_codec.hpp"
#include "suggest/suggest.hpp"
#include "suggest/terms.hpp"
#include "text/utf8.hpp"

namespace quellnor::binding {
namespace {

constexpr const char* kClass = "Index";
constexpr const char* kSuggestParameters[] = {"text", "k", "max_dist", "transpositions"};
constexpr const char* kAssembleParameters[] = {"node_shifts", "child_labels", "payloads",
                                               "child_transitions", "video_index", "video_top_n",
                                               "folded", "spellings"};
constexpr const char* kLoadParameters[] = {"b", "extras"};
constexpr const char* kTextParameters[] = {"text"};
constexpr const char* kPositionParameters[] = {"position"};
constexpr const char* kOtherParameters[] = {"other"};

constexpr FunctionDescription kSuggest{kClass, "suggest", kSuggestParameters, 1, 2};
constexpr FunctionDescription kSuggestVideos{kClass, "suggest_videos", kSuggestParameters, 1, 2};
constexpr FunctionDescription kAssemble{kClass, "_assemble", kAssembleParameters, 8};
constexpr FunctionDescription kLoad{kClass, "_load", kLoadParameters, 2};
constexpr FunctionDescription kTermWeight{kClass, "_term_weight", kTextParameters, 1};
constexpr FunctionDescription kTermPage{kClass, "_term_page", kPositionParameters, 1};
constexpr FunctionDescription kSameIndex{kClass, "_same_index", kOtherParameters, 1};

constexpr std::uint64_t kDefaultK = 10;
// Terms per page of _term_page: enough to make each call worth its cost,
// few enough that iterating holds little at a time.
constexpr std::size_t kTermsPerPage = 1024;

struct SuggestArguments {
    HeldText text;
    SuggestOptions options;
};

SuggestArguments suggest_arguments(PyObject* const* slots) {
    SuggestArguments q;
    q.text = convert_argument("text", [&] { return str_argument(slots[0]); });
    q.options.k = slots[1] ? convert_argument("k", [&] { return count_argument(slots[1], "k"); }) : kDefaultK;
    q.options.max_dist = convert_argument("max_dist", [&] { return distance_argument(slots[2], "max_dist"); });
    if (slots[3]) q.options.transpositions = convert_argument("transpositions", [&] { return to_bool(slots[3]); });
    return q;
}

// Binds a suggestion call's arguments, converts them in parameter order,
// and answers with `answer(borrow, text, options)`.
template <class Answer>
PyObject* suggestion_call(const FunctionDescription& description, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, Answer answer) {
    return call_frame([&] {
        PyObject* slots[4] = {};
        extract_arguments_fastcall(description, args, nargs, kwnames, slots);
        IndexBorrow borrow(self);
        const SuggestArguments q = suggest_arguments(slots);
        CodePointBuffer buffer;
        return answer(borrow, utf8::decode(q.text.utf8, buffer), q.options);
    });
}

PyObject* suggest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return suggestion_call(kSuggest, self, args, nargs, kwnames,
                           [](const IndexBorrow& borrow, std::u32string_view text, const SuggestOptions& options) {
                               const auto found = without_lock_when_long([&] {
                                   return quellnor::suggest(borrow.index(), borrow.terms().table, text, options);
                               });
                               return suggestion_list(borrow.terms(), found);
                           });
}

PyObject* suggest_videos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return suggestion_call(kSuggestVideos, self, args, nargs, kwnames,
                           [](const IndexBorrow& borrow, std::u32string_view text, const SuggestOptions& options) {
                               auto videos = without_lock_when_long(
                                   [&] { return quellnor::suggest_videos(borrow.index(), text, options); });
                               const GivenVideoIds& ids = borrow.terms().video_ids;
                               if (ids.given()) return given_id_list(videos, ids);
#ifdef PYPY_VERSION
                               return ranked_list(std::move(videos), borrow.key_strings());
#else
                               return ranked_list(std::move(videos));
#endif
                           });
}

PyObject* assemble(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[8] = {};
        extract_arguments_fastcall(kAssemble, args, nargs, kwnames, slots);
        std::vector<std::uint32_t> supplied_totals;
        Trie index = build_from_arguments(slots, supplied_totals);
        const bool folded = convert_argument("folded", [&] { return to_bool(slots[6]); });
        const auto spellings = convert_argument("spellings", [&] { return spellings_argument(slots[7]); });
        TermIndex terms = term_index_from_build(index, std::move(supplied_totals), folded, spellings);
        return create_index_object(cls, std::move(index), std::move(terms));
    });
}

PyObject* load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[2] = {};
        extract_arguments_fastcall(kLoad, args, nargs, kwnames, slots);
        const auto data = convert_argument("b", [&] { return to_byte_view(slots[0]); });
        const auto extras_data = convert_argument("extras", [&] { return to_byte_view(slots[1]); });
        Trie index = decode(data.data);
        TermIndex terms = term_index_from_extras(index, decode_extras(extras_data.data));
        return create_index_object(cls, std::move(index), std::move(terms));
    });
}

PyObject* extras(PyObject* self, PyObject*) {
    return call_frame([&] {
        IndexBorrow borrow(self);
        const std::vector<std::uint8_t> data = encode_extras(borrow.index(), borrow.terms());
        return checked_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                        static_cast<Py_ssize_t>(data.size())));
    });
}

PyObject* prefix_search(PyObject* self, PyObject*) {
    return call_frame([&] {
        IndexBorrow borrow(self);
        return create_class_object(Trie(borrow.index()));
    });
}

PyObject* term_weight(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&]() -> PyObject* {
        PyObject* slots[1] = {};
        extract_arguments_fastcall(kTermWeight, args, nargs, kwnames, slots);
        IndexBorrow borrow(self);
        const auto text = convert_argument("text", [&] { return str_argument(slots[0]); });
        CodePointBuffer buffer;
        const auto node = find_term(borrow.index(), borrow.terms().table, utf8::decode(text.utf8, buffer));
        if (!node) return Ref::borrowed(Py_None).release();
        return checked_result(PyLong_FromUnsignedLong(borrow.terms().table.entry(*node)->weight));
    });
}

PyObject* term_page(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[1] = {};
        extract_arguments_fastcall(kTermPage, args, nargs, kwnames, slots);
        IndexBorrow borrow(self);
        const auto from = convert_argument("position", [&] { return count_argument(slots[0], "position"); });
        std::size_t next = 0;
        const auto entries = quellnor::term_page(borrow.terms().table, static_cast<std::size_t>(from),
                                                 kTermsPerPage, next);
        Ref terms(term_list(borrow.terms(), entries));
        Ref position(checked_result(PyLong_FromSize_t(next)));
        return checked_result(PyTuple_Pack(2, terms.get(), position.get()));
    });
}

PyObject* same_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[1] = {};
        extract_arguments_fastcall(kSameIndex, args, nargs, kwnames, slots);
        IndexBorrow borrow(self);
        if (!is_index_core(slots[0])) return Ref::borrowed(Py_False).release();
        IndexBorrow other(slots[0]);
        const bool same = borrow.index() == other.index() && borrow.terms() == other.terms();
        return Ref::borrowed(same ? Py_True : Py_False).release();
    });
}

const PyMethodDef kOwnMethods[] = {
    {"suggest", as_c_function(suggest), kFastcall,
     "suggest($self, text, k=10, *, max_dist=None, transpositions=True)\n--\n\n"
     "The k best terms for text as typed so far: [(term, distance, weight), ...].\n"
     "Text is taken as it is; quellnor.Index folds it first."},
    {"suggest_videos", as_c_function(suggest_videos), kFastcall,
     "suggest_videos($self, text, k=10, *, max_dist=None, transpositions=True)\n--\n\n"
     "The k best videos behind text as typed so far: [(video, score), ...]."},
    {"prefix_search", as_c_function(prefix_search), METH_NOARGS,
     "prefix_search($self)\n--\n\nA PrefixSearch holding a copy of the same trie."},
    {"_assemble", as_c_function(assemble), kFastcall | METH_CLASS,
     "_assemble($type, node_shifts, child_labels, payloads, child_transitions, video_index, "
     "video_top_n, folded, spellings)\n--\n\n"
     "As from_internal_data_v2, with whether the terms are folded and a dict of each\n"
     "term's display spelling where it differs from the term."},
    {"_load", as_c_function(load), kFastcall | METH_CLASS,
     "_load($type, b, extras)\n--\n\nfrom_bytes, with the extras that _extras() wrote."},
    {"_extras", as_c_function(extras), METH_NOARGS,
     "_extras($self)\n--\n\nWhat the byte form of the trie cannot carry, as bytes."},
    {"_term_weight", as_c_function(term_weight), kFastcall,
     "_term_weight($self, text)\n--\n\nThe weight of the term spelt text, or None."},
    {"_term_page", as_c_function(term_page), kFastcall,
     "_term_page($self, position)\n--\n\n"
     "([term, ...], next position): terms in code-point order from a position on."},
    {"_same_index", as_c_function(same_index), kFastcall,
     "_same_index($self, other)\n--\n\nWhether other holds the same trie and terms."},
};

// An attribute's getter: `read` of the index, in a call frame.
template <PyObject* (*Read)(const IndexBorrow&)>
PyObject* getter(PyObject* self, void*) {
    return call_frame([&] { return Read(IndexBorrow(self)); });
}

PyObject* folded(const IndexBorrow& borrow) {
    return Ref::borrowed(borrow.terms().folded ? Py_True : Py_False).release();
}
PyObject* node_count(const IndexBorrow& borrow) {
    return checked_result(PyLong_FromSize_t(borrow.index().child_labels.size()));
}
PyObject* video_count(const IndexBorrow& borrow) {
    return checked_result(PyLong_FromSize_t(borrow.index().video_index.size()));
}
PyObject* video_key_kind(const IndexBorrow& borrow) {
    const VideoIdKind kind = borrow.terms().video_ids.kind;
    return checked_result(PyUnicode_FromString(kind == VideoIdKind::text      ? "str"
                                               : kind == VideoIdKind::integer ? "int"
                                                                              : "uuid"));
}
PyObject* term_count(const IndexBorrow& borrow) {
    return checked_result(PyLong_FromUnsignedLongLong(borrow.terms().table.term_count));
}

PyGetSetDef attributes[] = {
    {"folded", getter<folded>, nullptr, "Whether the terms were folded when the index was built.", nullptr},
    {"node_count", getter<node_count>, nullptr, "The nodes of the trie.", nullptr},
    {"video_count", getter<video_count>, nullptr, "The videos of the index.", nullptr},
    {"term_count", getter<term_count>, nullptr, "The terms of the index.", nullptr},
    {"video_key_kind", getter<video_key_kind>, nullptr,
     "What the videos are: 'uuid', or the caller's own 'str' or 'int' ids.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyMethodDef* index_core_methods() {
    static const std::vector<PyMethodDef> table = [] {
        const auto specified = specified_index_core_methods();
        std::vector<PyMethodDef> rows(specified.begin(), specified.end());
        rows.insert(rows.end(), std::begin(kOwnMethods), std::end(kOwnMethods));
        const auto file = index_file_methods();
        rows.insert(rows.end(), file.begin(), file.end());
        rows.push_back({nullptr, nullptr, 0, nullptr});
        return rows;
    }();
    return const_cast<PyMethodDef*>(table.data());
}

PyGetSetDef* index_core_attributes() { return attributes; }

}  // namespace quellnor::binding
