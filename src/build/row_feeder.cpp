#include "build/row_feeder.hpp"

#include <system_error>
#include <utility>

#include "run_beside.hpp"

namespace quellnor {

RowFeeder::~RowFeeder() {
    if (!helper_.joinable()) return;
    {
        std::unique_lock lock(mutex_);
        wait_idle(lock);
        quit_ = true;
    }
    changed_.notify_all();
    helper_.join();
}

RowFeeder::RowFeeder(RowTable& table) : table_(table) {
    inline_ = !helper_may_run();
    if (inline_) return;
    try {
        helper_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        inline_ = true;
    }
}

void RowFeeder::wait_idle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [&] { return !busy_; });
}

void RowFeeder::feed(std::vector<RowNumbers>& batch) {
    if (!inline_) {
        std::unique_lock lock(mutex_);
        wait_idle(lock);
        if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
        if (!declined_) {
            std::swap(taken_terms_, table_.new_terms());
            table_.restart_new_terms();
            taken_rows_.swap(batch);
            batch.clear();
            busy_ = true;
            lock.unlock();
            changed_.notify_all();
            return;
        }
        // The helper left what it was handed, if anything, to this thread.
        lock.unlock();
        inline_ = true;
        finish();
    }
    table_.sum(batch);
    batch.clear();
}

void RowFeeder::finish() {
    if (!helper_.joinable()) return;
    std::unique_lock lock(mutex_);
    wait_idle(lock);
    if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
    if (taken_terms_.size() == 0 && taken_rows_.empty()) return;
    // What a helper that could not allocate left.
    table_.sums().add(taken_terms_, taken_rows_);
    taken_terms_.restart(0);
    taken_rows_.clear();
}

void RowFeeder::work() {
    // A thread whose first allocation finds no arena leaves the rows to the caller's.
    const bool can_allocate = can_allocate_here();
    std::unique_lock lock(mutex_);
    if (!can_allocate) declined_ = true;
    for (;;) {
        changed_.wait(lock, [&] { return busy_ || quit_; });
        if (!busy_) return;
        if (declined_) {
            busy_ = false;  // what was taken is left for the caller's thread
            changed_.notify_all();
            continue;
        }
        lock.unlock();
        std::exception_ptr failed;
        try {
            table_.sums().add(taken_terms_, taken_rows_);
        } catch (...) {
            failed = std::current_exception();
        }
        // Summed, or given up with the sums as TermSums::add leaves them.
        taken_terms_.restart(0);
        taken_rows_.clear();
        lock.lock();
        failed_ = failed;
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace quellnor
