// Two pieces of independent work on two cores.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

#include "payload/pages.hpp"
#include "progress.hpp"

namespace quellnor {

// Whether this process may run on more than one core: a container or a
// `taskset` can pin it to one, where a second thread only takes turns with
// the first and holds its memory meanwhile.
inline bool has_second_core() noexcept {
#if defined(__linux__)
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (sched_getaffinity(0, sizeof cores, &cores) == 0) return CPU_COUNT(&cores) > 1;
#endif
    return std::thread::hardware_concurrency() != 1;
}

// Whether this thread can have heap memory at all. Its first allocation
// ties a thread to one of the allocator's arenas, and where every arena is
// taken and there is no room to make another, it gets nothing, while the
// thread that started it may still have memory to spare in its own.
inline bool can_allocate_here() noexcept {
    void* const probe = std::malloc(64 << 10);
    if (probe == nullptr) return false;
    asm volatile("" : : "r"(probe) : "memory");  // a malloc of nothing used may be left out
    std::free(probe);
    return true;
}

// Address space a second thread needs before it can do anything: its stack,
// and the allocator's arena that its first allocation makes, for which glibc
// reserves 64 MiB (twice that while it aligns them).
inline constexpr std::size_t kHelperAddressSpace = std::size_t{136} << 20;

// Whether starting a thread to work beside this one can pay: there is a
// second core to run it, and address space for it.
inline bool helper_may_run() noexcept {
    return has_second_core() && address_space_left() >= kHelperAddressSpace;
}

// Whether two pieces of work that together hold `bytes` at their height may
// run at once: where there is a second core, and where the system has that
// memory free twice over. Else one after the other, as work that would go
// short of memory is better slower.
inline bool room_beside(std::size_t bytes) noexcept { return has_second_core() && free_memory() / 2 > bytes; }

// Runs `beside` on a thread of its own while `work` runs on this one, and
// returns when both are done. Neither may touch what the other writes, nor
// any object of the embedding program. This thread goes on asking the
// installed check while it waits. A failure here (an interrupt included)
// stops `beside` at its next look at its Progress and is rethrown; else a
// failure of `beside` is. On one core, short of address space, where no
// thread can be started, or where the one started can allocate nothing, one
// runs after the other.
template <class Work, class Beside>
void run_beside(Work&& work, Beside&& beside) {
    if (!helper_may_run()) {
        std::forward<Work>(work)();
        std::forward<Beside>(beside)();
        return;
    }
    std::atomic<bool> stop{false};
    std::exception_ptr failed;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool helped = false;  // else `beside` is still to run
    std::thread helper;
    try {
        helper = std::thread([&] {
            if (can_allocate_here()) {
                const OnHelperThread scope(stop);
                try {
                    beside();
                } catch (...) {
                    failed = std::current_exception();
                }
                helped = true;
            }
            const std::lock_guard lock(mutex);
            done = true;
            finished.notify_one();
        });
    } catch (const std::system_error&) {
        std::forward<Work>(work)();
        std::forward<Beside>(beside)();
        return;
    }
    try {
        std::forward<Work>(work)();
        Progress progress;
        std::unique_lock lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(10), [&] { return done; })) {
            lock.unlock();
            progress.advance(SIZE_MAX);
            lock.lock();
        }
    } catch (...) {
        stop.store(true, std::memory_order_relaxed);
        helper.join();
        throw;
    }
    helper.join();
    if (!helped) std::forward<Beside>(beside)();
    if (failed) std::rethrow_exception(failed);
}

}  // namespace quellnor
