// Rows' (term, video) pairs added to the pair table on a second core while
// the caller's thread converts the next rows: interning the pairs misses
// the cache on nearly every row, and a builder reading millions of rows
// otherwise leaves the other core idle.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "build/row_table.hpp"

namespace quellnor {

class PairFeeder {
public:
    // Starts the helper, where one can pay.
    explicit PairFeeder(PairTable& pairs);
    // Waits for the rows under way: the table is not left being written.
    ~PairFeeder();
    PairFeeder(const PairFeeder&) = delete;
    PairFeeder& operator=(const PairFeeder&) = delete;

    // Takes the rows of `batch`, leaving it empty, once those fed before are
    // in. Until finish() the caller reads and writes nothing of the table.
    // Without a second core, or a thread that can allocate there, the rows
    // are added here and now.
    void feed(std::vector<PairRow>& batch);
    // Returns once every row fed is in the table; rethrows what adding them failed with.
    void finish();

private:
    void wait_idle(std::unique_lock<std::mutex>& lock);
    void work();

    PairTable& pairs_;
    std::thread helper_;
    bool inline_ = false;  // no helper: each batch is added as it comes
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PairRow> taken_;  // the helper's, while busy_
    bool busy_ = false;
    bool quit_ = false;
    bool declined_ = false;  // the helper could allocate nothing and left
    std::exception_ptr failed_;
};

}  // namespace quellnor
