// IndexCore's calls for the index file: open, the file's bytes both ways,
// and writing it to a descriptor.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/index_class.hpp"
#include "binding/index_object.hpp"
#include "file/index_file.hpp"

namespace quellnor::binding {
namespace {

constexpr const char* kClass = "Index";
constexpr const char* kOpenParameters[] = {"path", "verify"};
constexpr const char* kFromParameters[] = {"b", "verify"};
constexpr const char* kWriteParameters[] = {"fd"};

constexpr FunctionDescription kOpenFile{kClass, "_open_file", kOpenParameters, 2};
constexpr FunctionDescription kFromFileBytes{kClass, "_from_file_bytes", kFromParameters, 2};
constexpr FunctionDescription kWriteFile{kClass, "_write_file", kWriteParameters, 1};

PyObject* create_opened(PyObject* cls, file::OpenedIndex&& opened) {
    return create_index_object(cls, std::move(opened.trie), std::move(opened.terms));
}

PyObject* open_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[2] = {};
        extract_arguments_fastcall(kOpenFile, args, nargs, kwnames, slots);
        const auto path = convert_argument("path", [&] { return to_byte_view(slots[0]); });
        const bool verify = convert_argument("verify", [&] { return to_bool(slots[1]); });
        const std::string name(path.data.begin(), path.data.end());
        return create_opened(cls, file::open_index(name, verify));
    });
}

PyObject* from_file_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[2] = {};
        extract_arguments_fastcall(kFromFileBytes, args, nargs, kwnames, slots);
        const auto data = convert_argument("b", [&] { return to_byte_view(slots[0]); });
        const bool verify = convert_argument("verify", [&] { return to_bool(slots[1]); });
        return create_opened(cls, file::load_index(data.data, verify));
    });
}

PyObject* file_bytes(PyObject* self, PyObject*) {
    return call_frame([&] {
        IndexBorrow borrow(self);
        const std::vector<std::uint8_t> data = file::index_bytes(borrow.index(), borrow.terms());
        return checked_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                        static_cast<Py_ssize_t>(data.size())));
    });
}

void write_all(int fd, const void* data, std::size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, "<index file>");
        }
        at += written;
        size -= static_cast<std::size_t>(written);
    }
}

PyObject* write_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        PyObject* slots[1] = {};
        extract_arguments_fastcall(kWriteFile, args, nargs, kwnames, slots);
        const long fd = convert_argument("fd", [&] {
            const long value = PyLong_AsLong(slots[0]);
            if (value == -1 && PyErr_Occurred()) PythonError::raise_pending();
            return value;
        });
        if (fd < 0 || fd > INT32_MAX) throw InputError("fd must be an open file descriptor");
        IndexBorrow borrow(self);
        std::size_t written = 0;
        file::write_index(borrow.index(), borrow.terms(), [&](const void* data, std::size_t size) {
            write_all(static_cast<int>(fd), data, size);
            written += size;
        });
        return checked_result(PyLong_FromSize_t(written));
    });
}

PyObject* native_bytes(PyObject* self, PyObject*) {
    return call_frame([&] {
        IndexBorrow borrow(self);
        return checked_result(PyLong_FromSize_t(file::array_bytes(borrow.index(), borrow.terms())));
    });
}

PyObject* live_bytes(PyObject*, PyObject*) {
    return call_frame([&] { return checked_result(PyLong_FromSize_t(live_native_bytes())); });
}

const PyMethodDef kFileMethods[] = {
    {"_live_native_bytes", as_c_function(live_bytes), METH_NOARGS | METH_STATIC,
     "_live_native_bytes()\n--\n\nThe bytes the arrays of every index alive hold, mapped or owned."},
    {"_native_bytes", as_c_function(native_bytes), METH_NOARGS,
     "_native_bytes($self)\n--\n\nThe bytes the index's arrays hold, mapped or owned."},
    {"_open_file", as_c_function(open_file), kFastcall | METH_CLASS,
     "_open_file($type, path, verify)\n--\n\nThe index file at path (bytes), mapped."},
    {"_from_file_bytes", as_c_function(from_file_bytes), kFastcall | METH_CLASS,
     "_from_file_bytes($type, b, verify)\n--\n\nThe index file's bytes, copied into owned memory."},
    {"_file_bytes", as_c_function(file_bytes), METH_NOARGS,
     "_file_bytes($self)\n--\n\nThe index file, as bytes."},
    {"_write_file", as_c_function(write_file), kFastcall,
     "_write_file($self, fd)\n--\n\nWrites the index file to an open file descriptor; returns its length."},
};

}  // namespace

std::span<const PyMethodDef> index_file_methods() { return kFileMethods; }

}  // namespace quellnor::binding
