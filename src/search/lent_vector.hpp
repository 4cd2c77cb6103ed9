// A vector the process keeps from one user to the next.
#pragma once

#include <atomic>
#include <vector>

namespace quellnor::search {

// Lends the process's one kept vector of T to one user at a time; a user
// that finds it lent out works on a vector of its own. Not thread-local: a
// thread's first use of dynamic thread-local storage allocates it, which
// aborts the process when memory is exhausted, and storage kept per thread
// would also stay behind with every thread that ends.
template <class T>
class LentVector {
public:
    LentVector() : lent_(!lent_out().exchange(true, std::memory_order_acquire)) {}
    ~LentVector() {
        if (lent_) lent_out().store(false, std::memory_order_release);
    }
    LentVector(const LentVector&) = delete;
    LentVector& operator=(const LentVector&) = delete;

    std::vector<T>& get() { return lent_ ? kept() : own_; }

private:
    static std::atomic<bool>& lent_out() {
        static constinit std::atomic<bool> flag{false};
        return flag;
    }
    // Made on first need and never destroyed: a walk may still run on
    // another thread while the process exits.
    static std::vector<T>& kept() {
        static std::vector<T>* const vector = new std::vector<T>();
        return *vector;
    }

    bool lent_;
    std::vector<T> own_;
};

}  // namespace quellnor::search
