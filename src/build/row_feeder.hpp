// Rows summed on a second core while the caller's thread converts the next
// rows: numbering terms and summing pairs miss the cache on nearly every
// row, and a builder reading millions of rows otherwise leaves the other
// core idle.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "build/row_table.hpp"

namespace quellnor {

class RowFeeder {
public:
    // Starts the helper, where one can pay.
    explicit RowFeeder(RowTable& table);
    // Waits for the rows under way: the sums are not left being written.
    ~RowFeeder();
    RowFeeder(const RowFeeder&) = delete;
    RowFeeder& operator=(const RowFeeder&) = delete;

    // Takes the rows of `batch`, leaving it empty, and the terms of the
    // spellings added since the last feed, once those fed before are
    // summed. Until finish() the caller reads and writes nothing of the
    // table's sums (RowTable::sums() and what reads it). Without a second
    // core, or a thread that can allocate there, the rows are summed here
    // and now.
    void feed(std::vector<RowNumbers>& batch);
    // Returns once every row fed is summed; rethrows what summing them failed with.
    void finish();

private:
    void wait_idle(std::unique_lock<std::mutex>& lock);
    void work();

    RowTable& table_;
    std::thread helper_;
    bool inline_ = false;  // no helper: each batch is summed as it comes
    std::mutex mutex_;
    std::condition_variable changed_;
    // The helper's, while busy_:
    NewTerms taken_terms_;
    std::vector<RowNumbers> taken_rows_;
    bool busy_ = false;
    bool quit_ = false;
    bool declined_ = false;  // the helper could allocate nothing and left
    std::exception_ptr failed_;
};

}  // namespace quellnor
