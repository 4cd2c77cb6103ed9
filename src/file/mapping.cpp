// Where an index file's bytes live: a shared read-only mapping of the file,
// or an owned aligned copy (pickling).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "fault.hpp"
#include "file/format.hpp"
#include "file/index_file.hpp"

namespace quellnor::file {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void system_failure(const std::string& path) { throw FileError(errno, path); }

}  // namespace

OpenedIndex open_index(const std::string& path, bool verify) {
    // Without O_NONBLOCK, opening a named pipe would wait for a writer; the
    // check below refuses it instead. It changes nothing for a regular file.
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) system_failure(path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) system_failure(path);
    if (!S_ISREG(st.st_mode)) throw InputError("not a quellnor index file: " + path + " is not a regular file");
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) return read_index(nullptr, {}, verify);  // says what it found
    void* block = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (block == MAP_FAILED) system_failure(path);
    std::shared_ptr<const void> mapping(block, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
    return read_index(std::move(mapping), {static_cast<const std::uint8_t*>(block), size}, verify);
}

OpenedIndex load_index(std::span<const std::uint8_t> bytes, bool verify) {
    if (bytes.empty()) return read_index(nullptr, {}, verify);
    const std::size_t rounded = (bytes.size() + kAlignment - 1) / kAlignment * kAlignment;
    void* block = std::aligned_alloc(kAlignment, rounded);
    if (block == nullptr) throw std::bad_alloc();
    std::shared_ptr<const void> owned(block, [](const void* p) { std::free(const_cast<void*>(p)); });
    std::memcpy(block, bytes.data(), bytes.size());
    return read_index(std::move(owned), {static_cast<const std::uint8_t*>(block), bytes.size()}, verify);
}

}  // namespace quellnor::file
