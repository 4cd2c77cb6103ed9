#include "build/pair_feeder.hpp"

#include <system_error>
#include <utility>

#include "run_beside.hpp"

namespace quellnor {

PairFeeder::~PairFeeder() {
    if (!helper_.joinable()) return;
    {
        std::unique_lock lock(mutex_);
        wait_idle(lock);
        quit_ = true;
    }
    changed_.notify_all();
    helper_.join();
}

PairFeeder::PairFeeder(PairTable& pairs) : pairs_(pairs) {
    inline_ = !helper_may_run();
    if (inline_) return;
    try {
        helper_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        inline_ = true;
    }
}

void PairFeeder::wait_idle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [&] { return !busy_; });
}

void PairFeeder::feed(std::vector<PairRow>& batch) {
    if (!inline_) {
        std::unique_lock lock(mutex_);
        wait_idle(lock);
        if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
        if (!declined_) {
            taken_.swap(batch);
            batch.clear();
            busy_ = true;
            lock.unlock();
            changed_.notify_all();
            return;
        }
        // The helper left what it was handed, if anything, to this thread.
        inline_ = true;
        pairs_.add_all(taken_);
        taken_.clear();
    }
    pairs_.add_all(batch);
    batch.clear();
}

void PairFeeder::finish() {
    if (!helper_.joinable()) return;
    std::unique_lock lock(mutex_);
    wait_idle(lock);
    if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
    pairs_.add_all(taken_);  // what a helper that could not allocate left
    taken_.clear();
}

void PairFeeder::work() {
    // A thread whose first allocation finds no arena leaves the rows to the caller's.
    const bool can_allocate = can_allocate_here();
    std::unique_lock lock(mutex_);
    if (!can_allocate) declined_ = true;
    for (;;) {
        changed_.wait(lock, [&] { return busy_ || quit_; });
        if (!busy_) return;
        if (declined_) {
            busy_ = false;  // taken_ is left for the caller's thread
            changed_.notify_all();
            continue;
        }
        lock.unlock();
        std::exception_ptr failed;
        try {
            pairs_.add_all(taken_);
            taken_.clear();
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        failed_ = failed;
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace quellnor
