#include "search/video_hash.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>

namespace quellnor::search {

namespace {

// The next word of splitmix64 from `state`.
std::uint64_t next_mixed(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E37'79B9'7F4A'7C15u);
    z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9u;
    z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBu;
    return z ^ (z >> 31);
}

// Fills `bytes` from the kernel's random source; false if it cannot.
bool fill_from_kernel(unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

VideoHash::VideoHash() {
    if (fill_from_kernel(reinterpret_cast<unsigned char*>(tables_.data()), sizeof(tables_))) return;
    // Without the random source (a sandbox that forbids it): words that
    // differ from process to process all the same, though less unpredictably.
    std::uint64_t state = static_cast<std::uint64_t>(
                              std::chrono::steady_clock::now().time_since_epoch().count()) ^
                          reinterpret_cast<std::uintptr_t>(&state) ^
                          (static_cast<std::uint64_t>(getpid()) << 32);
    for (auto& table : tables_)
        for (auto& word : table) word = next_mixed(state);
}

const VideoHash& VideoHash::process_wide() {
    static const VideoHash hash;
    return hash;
}

}  // namespace quellnor::search
