// Two pieces of independent work on two cores.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

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

// Runs `beside` on a thread of its own while `work` runs on this one, and
// returns when both are done. Neither may touch what the other writes, nor
// any object of the embedding program. This thread goes on asking the
// installed check while it waits. A failure here (an interrupt included)
// stops `beside` at its next look at its Progress and is rethrown; else a
// failure of `beside` is. On one core, or where no thread can be started,
// one runs after the other.
template <class Work, class Beside>
void run_beside(Work&& work, Beside&& beside) {
    if (!has_second_core()) {
        std::forward<Work>(work)();
        std::forward<Beside>(beside)();
        return;
    }
    std::atomic<bool> stop{false};
    std::exception_ptr failed;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread helper;
    try {
        helper = std::thread([&] {
            {
                const OnHelperThread scope(stop);
                try {
                    beside();
                } catch (...) {
                    failed = std::current_exception();
                }
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
    if (failed) std::rethrow_exception(failed);
}

}  // namespace quellnor
