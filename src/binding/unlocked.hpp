// Native work that runs without the interpreter lock once it has lasted long
// enough, so that threads answer queries on several cores at once.
#pragma once

#include "binding/ref.hpp"

namespace quellnor::binding {

// Marks the native work inside its lifetime as free to run without the
// interpreter lock: when the work tells the core it runs long (after a few
// thousand units), the lock is released, to be taken back for each check
// for signals and when the scope ends, before the caller touches any
// interpreter object again. Nothing inside may touch one: the work reads
// only the index (immutable) and memory of its own. The scope ends with the
// lock held on every path, an exception's included.
class LockReleasable {
public:
    LockReleasable() noexcept;
    ~LockReleasable();
    LockReleasable(const LockReleasable&) = delete;
    LockReleasable& operator=(const LockReleasable&) = delete;

private:
    bool outer_;  // whether an enclosing scope was already releasable
};

// Runs `work` inside a LockReleasable scope and returns its result.
template <class Work>
decltype(auto) without_lock_when_long(Work&& work) {
    const LockReleasable scope;
    return work();
}

// The core's hooks: the long-work notice releases the lock where allowed;
// the interrupt check takes it back around its look at signals.
void release_lock_if_allowed() noexcept;
bool check_signals_with_lock();

}  // namespace quellnor::binding
