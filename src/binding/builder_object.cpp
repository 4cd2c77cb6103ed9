#include "binding/builder_object.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arrow_columns.hpp"
#include "binding/cache.hpp"
#include "binding/columns.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "binding/index_object.hpp"
#include "binding/row_convert.hpp"
#include "build/assemble.hpp"
#include "build/row_feeder.hpp"
#include "progress.hpp"

namespace quellnor::binding {

namespace {

struct BuilderObject {
    PyObject_HEAD
    RowTable* rows;
    PyObject* fold;  // null: terms are kept as given
    bool busy;       // a call is under way: the fold function may not call back in
};

// Exclusive use of a builder for one call; what a fold function or a row's
// __index__ could try, adding to the same builder midway, is refused.
class BuilderUse {
public:
    explicit BuilderUse(PyObject* self) : self_(reinterpret_cast<BuilderObject*>(self)) {
        if (self_->busy) throw MessageError(PyExc_RuntimeError, "the builder is in use by another call");
        self_->busy = true;
    }
    ~BuilderUse() { self_->busy = false; }
    BuilderUse(const BuilderUse&) = delete;
    BuilderUse& operator=(const BuilderUse&) = delete;
    RowTable& rows() const { return *self_->rows; }
    PyObject* fold() const { return self_->fold; }

private:
    BuilderObject* self_;
};

std::string row_text(PyObject* term, PyObject* video, PyObject* count) {
    return "row (" + shown(term) + ", " + shown(video) + ", " + shown(count) + ")";
}

// How far ahead of the row at hand the spellings are told what comes.
constexpr std::size_t kRowsAhead = RowTable::kTellAhead;

// Rows converted and held back until the whole batch is known to be good,
// so that a bad row leaves the table as it was. A batch that need not be
// all or nothing (build_index's, whose builder nobody else sees) commits
// every so many rows instead, and holds little.
class Batch {
public:
    Batch(const BuilderUse& use, bool atomic) : use_(use), rows_(use.rows()), mark_(rows_.mark()), atomic_(atomic) {}

    template <class ForEachRow>
    void run(ForEachRow for_each_row) {
        try {
            for_each_row([&](auto convert_cells) {
                staged_.push_back(convert_cells(rows_, use_.fold()));
                if (!atomic_ && staged_.size() >= kUnheldRows) commit();
            });
            commit();
            if (feeder_) feeder_->finish();
        } catch (...) {
            // Rolling back reads how far the sums got, so the feeder must be
            // done first; what it failed with, if anything, goes unheard
            // beside the batch's own failure.
            if (feeder_) {
                try {
                    feeder_->finish();
                } catch (...) {
                }
            }
            rows_.roll_back(mark_);
            throw;
        }
    }

private:
    static constexpr std::size_t kUnheldRows = 1 << 16;

    void commit() {
        // The staged rows are good: the spellings and videos they added stay
        // from here on, whatever happens, as their sums will refer to them
        // once summing begins. Ctrl-C is not heard here (a batch takes some
        // milliseconds per 65,536 rows): it would leave terms whose rows are
        // half summed. A batch that is not all or nothing stages 65,536 rows
        // at most, summed on a second core while the next are converted.
        mark_ = rows_.mark();
        if (atomic_) {
            rows_.sum(staged_);
        } else {
            if (!feeder_) feeder_.emplace(rows_);
            feeder_->feed(staged_);
        }
        staged_.clear();
    }

    const BuilderUse& use_;
    RowTable& rows_;
    RowTable::Mark mark_;
    bool atomic_;
    std::vector<RowNumbers> staged_;
    // Finished, or waited for as the batch goes, before the call returns:
    // only then does anyone else read the sums.
    std::optional<RowFeeder> feeder_;
};

PyObject* add(PyObject* self, PyObject* args) {
    return call_frame([&] {
        PyObject *term, *video, *count;
        if (!PyArg_ParseTuple(args, "OOO:add", &term, &video, &count)) PythonError::raise_pending();
        const BuilderUse use(self);
        Batch(use, true).run([&](auto stage) {
            try {
                stage([&](RowTable& rows, PyObject* fold) { return convert_row(rows, fold, term, video, count); });
            } catch (const RowRefused& refused) {
                throw MessageError(PyExc_ValueError, row_text(term, video, count) + ": " + refused.what());
            }
        });
        return Ref::borrowed(Py_None).release();
    });
}

// One item of add_rows: a (term, video, count) triple, or a ValueError
// naming the row by its position.
template <class Stage>
void convert_item(PyObject* item, Py_ssize_t position, Stage& stage, RecentRows* recent) {
    const auto prefix = [&] { return "row " + std::to_string(position); };
    Ref triple;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 3) {
        triple = Ref::borrowed(item);
    } else {
        triple = Ref(PySequence_Tuple(item));
        if (!triple) PyErr_Clear();
        if (!triple || PyTuple_GET_SIZE(triple.get()) != 3)
            throw MessageError(PyExc_ValueError, prefix() + " (" + shown(item) + "): expected (term, video, count)");
    }
    PyObject* term = PyTuple_GET_ITEM(triple.get(), 0);
    PyObject* video = PyTuple_GET_ITEM(triple.get(), 1);
    PyObject* count = PyTuple_GET_ITEM(triple.get(), 2);
    try {
        stage([&](RowTable& rows, PyObject* fold) { return convert_row(rows, fold, term, video, count, recent); });
    } catch (const RowRefused& refused) {
        throw MessageError(PyExc_ValueError,
                           prefix() + ": " + row_text(term, video, count) + ": " + refused.what());
    }
}

// The term of the row at `position` of a list, where it can be read without
// making or changing any object: on CPython, the bytes of an ASCII str in a
// (term, video, count) tuple. Empty otherwise.
std::string_view term_ahead([[maybe_unused]] PyObject* list, [[maybe_unused]] Py_ssize_t position) {
#ifndef PYPY_VERSION
    if (position >= PyList_GET_SIZE(list)) return {};
    PyObject* item = PyList_GET_ITEM(list, position);
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3) return {};
    PyObject* term = PyTuple_GET_ITEM(item, 0);
    if (!PyUnicode_CheckExact(term) || !PyUnicode_IS_COMPACT_ASCII(term)) return {};
    return {static_cast<const char*>(PyUnicode_DATA(term)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(term))};
#else
    return {};
#endif
}

PyObject* add_rows(PyObject* self, PyObject* args) {
    return call_frame([&] {
        PyObject* rows;
        Py_ssize_t start = 0;
        int atomic = 1;
        if (!PyArg_ParseTuple(args, "O|np:add_rows", &rows, &start, &atomic)) PythonError::raise_pending();
        const BuilderUse use(self);
        Ref iterator(PyObject_GetIter(rows));
        if (!iterator) PythonError::raise_pending();
        const auto recent = std::make_unique<RecentRows>();
        // A list's iterator goes through it in order: the terms a few rows on
        // can be told to the tables before they come.
        const bool list = PyList_CheckExact(rows);
        Batch(use, atomic != 0).run([&](auto convert) {
            Progress progress;
            for (Py_ssize_t position = start;; ++position) {
                progress.advance();
                if (list) {
                    const std::string_view ahead =
                        term_ahead(rows, position - start + static_cast<Py_ssize_t>(kRowsAhead));
                    if (!ahead.empty()) use.rows().prefetch_spelling(ahead);
                }
                Ref item(PyIter_Next(iterator.get()));
                if (!item) {
                    if (PyErr_Occurred()) PythonError::raise_pending();
                    return;
                }
                convert_item(item.get(), position, convert, recent.get());
            }
        });
        return Ref::borrowed(Py_None).release();
    });
}

// Stages every row of three columns; a bad one raises ValueError naming it
// by its position, counted from `start`.
template <class Stage>
void stage_columns(Stage& stage, RowTable& table, Column& terms, Column& videos, Column* counts,
                   std::size_t start) {
    const std::size_t size = terms.size();
    if (videos.size() != size || (counts != nullptr && counts->size() != size))
        throw MessageError(PyExc_ValueError,
                           "the columns differ in length: " + std::to_string(size) + " terms, " +
                               std::to_string(videos.size()) + " videos" +
                               (counts ? ", " + std::to_string(counts->size()) + " counts" : std::string()));
    Progress progress;
    for (std::size_t row = 0; row < size; ++row) {
        progress.advance();
        if (row + kRowsAhead < size) {
            const std::string_view ahead = terms.text_ahead(row + kRowsAhead);
            if (!ahead.empty()) table.prefetch_spelling(ahead);
        }
        Cell term, video, count;
        try {
            stage([&](RowTable& rows, PyObject* fold) {
                term = terms.at(row);
                video = videos.at(row);
                if (counts) count = counts->at(row);
                const std::uint64_t number = counts ? count_of_cell(count) : 1;
                const std::uint32_t spelling = spelling_of_cell(rows, fold, term);
                return RowNumbers{spelling, video_of_cell(rows, video), number};
            });
        } catch (const RowRefused& refused) {
            throw MessageError(PyExc_ValueError, "row " + std::to_string(start + row) + ": row (" + shown(term) +
                                                     ", " + shown(video) + ", " +
                                                     (counts ? shown(count) : std::string("1")) + "): " +
                                                     refused.what());
        } catch (const InputError& mixed) {
            throw MessageError(PyExc_ValueError, "row " + std::to_string(start + row) + ": " + mixed.what());
        }
    }
}

PyObject* add_columns(PyObject* self, PyObject* args) {
    return call_frame([&] {
        PyObject *terms, *videos, *counts = Py_None;
        int atomic = 1;
        if (!PyArg_ParseTuple(args, "OO|Op:add_columns", &terms, &videos, &counts, &atomic))
            PythonError::raise_pending();
        const BuilderUse use(self);
        const auto term_column = column_of(terms, "terms");
        const auto video_column = column_of(videos, "videos");
        const auto count_column = counts == Py_None ? nullptr : column_of(counts, "counts");
        Batch(use, atomic != 0).run([&](auto stage) {
            stage_columns(stage, use.rows(), *term_column, *video_column, count_column.get(), 0);
        });
        return Ref::borrowed(Py_None).release();
    });
}

PyObject* add_arrow(PyObject* self, PyObject* args) {
    return call_frame([&] {
        PyObject* capsule;
        int atomic = 1;
        Py_ssize_t first = 0;
        if (!PyArg_ParseTuple(args, "O|pn:add_arrow", &capsule, &atomic, &first)) PythonError::raise_pending();
        const BuilderUse use(self);
        auto start = static_cast<std::size_t>(std::max<Py_ssize_t>(first, 0));
        Batch(use, atomic != 0).run([&](auto stage) {
            for_each_arrow_batch(capsule, [&](Column& terms, Column& videos, Column* counts) {
                stage_columns(stage, use.rows(), terms, videos, counts, start);
                start += terms.size();
            });
        });
        return Ref::borrowed(Py_None).release();
    });
}

// Rows that the package packed into a few buffers per chunk (on PyPy, where
// each object that C reads gets a C copy living as long as it does): per
// chunk a tuple (terms, term_ends, videos, video_ends, uuids, counts), the
// terms' UTF-8 one after another with where each ends, the videos likewise
// (str ids, or with `uuids` 16 bytes each) or, without ends, int64 ids, and
// the counts as int64. The chunks' rows are counted on from `start`.
PyObject* add_packed(PyObject* self, PyObject* args) {
    return call_frame([&] {
        PyObject* chunks;
        Py_ssize_t first = 0;
        int atomic = 1;
        if (!PyArg_ParseTuple(args, "O|np:add_packed", &chunks, &first, &atomic)) PythonError::raise_pending();
        const BuilderUse use(self);
        Ref items(PySequence_Fast(chunks, "the packed chunks must be a sequence"));
        if (!items) PythonError::raise_pending();
        auto start = static_cast<std::size_t>(std::max<Py_ssize_t>(first, 0));
        Batch(use, atomic != 0).run([&](auto stage) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
                PyObject *terms, *term_ends, *videos, *video_ends, *counts;
                int uuids = 0;
                if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i), "OOOOpO:a packed chunk", &terms,
                                      &term_ends, &videos, &video_ends, &uuids, &counts))
                    PythonError::raise_pending();
                const auto term_column = packed_text_column(terms, term_ends, false);
                const auto video_column = video_ends == Py_None ? column_of(videos, "videos")
                                                                : packed_text_column(videos, video_ends, uuids != 0);
                const auto count_column = column_of(counts, "counts");
                stage_columns(stage, use.rows(), *term_column, *video_column, count_column.get(), start);
                start += term_column->size();
            }
        });
        return Ref::borrowed(Py_None).release();
    });
}

PyObject* build(PyObject* self, PyObject* args) {
    return call_frame([&] {
        PyObject* cls;
        unsigned long long video_top_n;
        PyObject* progress = Py_None;
        int consume = 0;
        if (!PyArg_ParseTuple(args, "OK|Op:build", &cls, &video_top_n, &progress, &consume))
            PythonError::raise_pending();
        const BuilderUse use(self);
        const PhaseReport report = [&](std::string_view phase, std::uint64_t items) {
            if (progress == Py_None) return;
            Ref result(PyObject_CallFunction(progress, "s#K", phase.data(), static_cast<Py_ssize_t>(phase.size()),
                                             static_cast<unsigned long long>(items)));
            if (!result) PythonError::raise_pending();
        };
        BuiltIndex built = consume ? assemble_index_consuming(use.rows(), video_top_n, report)
                                   : assemble_index(use.rows(), video_top_n, report);
        return create_index_object(cls, std::move(built.trie), std::move(built.terms));
    });
}

PyObject* new_builder(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> PyObject* {
        static const char* keywords[] = {"fold", "lowers_ascii", nullptr};
        PyObject* fold = Py_None;
        int lowers_ascii = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Op:NativeBuilder", const_cast<char**>(keywords), &fold,
                                         &lowers_ascii))
            PythonError::raise_pending();
        if (fold != Py_None && !PyCallable_Check(fold))
            throw MessageError(PyExc_TypeError, "fold must be a callable or None");
        auto table = std::make_unique<RowTable>(fold != Py_None, fold != Py_None && lowers_ascii != 0);
        Ref object(type->tp_alloc(type, 0));
        if (!object) PythonError::raise_pending();
        auto* self = reinterpret_cast<BuilderObject*>(object.get());
        self->rows = table.release();
        self->fold = fold == Py_None ? nullptr : Ref::borrowed(fold).release();
        self->busy = false;
        return object.release();
    });
}

void dealloc(PyObject* object) {
    auto* self = reinterpret_cast<BuilderObject*>(object);
    delete self->rows;
    Py_XDECREF(self->fold);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

template <PyObject* (*Read)(const RowTable&)>
PyObject* getter(PyObject* self, void*) {
    return call_frame([&] { return Read(*reinterpret_cast<BuilderObject*>(self)->rows); });
}
PyObject* term_count(const RowTable& rows) { return checked_result(PyLong_FromSize_t(rows.terms().size())); }
PyObject* video_count(const RowTable& rows) { return checked_result(PyLong_FromSize_t(rows.videos().size())); }
PyObject* video_kind(const RowTable& rows) {
    switch (rows.video_kind()) {
        case VideoIdKind::uuid: return checked_result(PyUnicode_FromString("uuid"));
        case VideoIdKind::text: return checked_result(PyUnicode_FromString("str"));
        case VideoIdKind::integer: return checked_result(PyUnicode_FromString("int"));
        case VideoIdKind::none: break;
    }
    return Ref::borrowed(Py_None).release();
}

PyMethodDef methods[] = {
    {"add", add, METH_VARARGS, "add($self, term, video, count, /)\n--\n\nAdds one row, or raises ValueError naming it."},
    {"add_rows", add_rows, METH_VARARGS,
     "add_rows($self, rows, start=0, atomic=True, /)\n--\n\nAdds (term, video, count) rows, all or none; a bad row raises\n"
     "ValueError naming its position, counted from start."},
    {"add_columns", add_columns, METH_VARARGS,
     "add_columns($self, terms, videos, counts=None, atomic=True, /)\n--\n\nAdds a row per position of three columns\n"
     "(sequences, or numpy arrays read in place); counts default to 1."},
    {"add_arrow", add_arrow, METH_VARARGS,
     "add_arrow($self, stream, atomic=True, start=0, /)\n--\n\nAdds the rows of an Arrow table given as the PyCapsule of its\n"
     "__arrow_c_stream__: columns term, video and count, or the first two or three."},
    {"add_packed", add_packed, METH_VARARGS,
     "add_packed($self, chunks, start=0, atomic=True, /)\n--\n\nAdds rows packed into buffers, a tuple (terms, term_ends, videos,\n"
     "video_ends, uuids, counts) per chunk: texts as UTF-8 with int64 ends, int ids and counts as int64."},
    {"build", build, METH_VARARGS,
     "build($self, cls, video_top_n, progress=None, consume=False, /)\n--\n\nAn instance of cls (an IndexCore type) holding the index;\n"
     "progress(phase, items) is called as each phase starts. With consume, the rows are let go\n"
     "as soon as they are read, which leaves the builder empty."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef attributes[] = {
    {"term_count", getter<term_count>, nullptr, "Distinct terms added so far.", nullptr},
    {"video_count", getter<video_count>, nullptr, "Distinct videos added so far.", nullptr},
    {"video_kind", getter<video_kind>, nullptr, "'uuid', 'str' or 'int', or None before the first row.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* create_type() {
    PyType_Slot slots[] = {
        {Py_tp_methods, methods},
        {Py_tp_getset, attributes},
        {Py_tp_new, reinterpret_cast<void*>(new_builder)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_doc, const_cast<char*>("NativeBuilder(fold=None, lowers_ascii=False)\n--\n\n"
                                         "Rows in batches, grouped and summed natively; build() makes the index.\n"
                                         "With lowers_ascii, fold is known to lower-case pure-ASCII text (A-Z to a-z)\n"
                                         "and change nothing else in it: such terms are folded without calling it.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"_quellnor.NativeBuilder", static_cast<int>(sizeof(BuilderObject)), 0, Py_TPFLAGS_DEFAULT,
                        slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) PythonError::raise_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* native_builder_type() {
    static OnceSlot<PyTypeObject> type;
    return type.get(create_type);
}

}  // namespace quellnor::binding
